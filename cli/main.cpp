// kolbrin-grep: runs one search over its PATH operands, exactly as if they had been
// dropped on the window, and prints the result tree with every file expanded.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "archive/ArchiveMembers.h"
#include "cli/Options.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "platform/Signals.h"
#include "platform/WorkerThread.h"
#include "search/ResultTree.h"
#include "search/Threadg.h"
#include "search/TreePrinter.h"

namespace {

using kolbrin::ResultTree;
using kolbrin::TGrep;

// What the signal thread and the main thread share: the search while it runs. The
// signals that arrived are EndingSignals' to tell.
struct Session {
  std::mutex mutex;
  TGrep* search = nullptr;  // set while the search runs, under `mutex`
  bool searchOver = false;  // under `mutex`: the worker has ended and is being released
};

// How long SIGTERM and SIGHUP wait for the search to stop before the program ends
// without it: the member being extracted is only given up at its end.
constexpr std::chrono::seconds kStopGrace{3};

// The signal thread. The first signal stops the search as the stop button does;
// the main thread then cleans up and ends. SIGINT waits for that as long as it
// takes and prints what was found; SIGTERM and SIGHUP wait kStopGrace. A second
// signal, or a stop taking longer, ends the program at once, its private folder
// removed; so does any signal once the search is over (the tree is being printed).
void WatchSignals(kolbrin::platform::EndingSignals& signals, Session& session,
                  const std::string& tempDir) {
  using kolbrin::platform::AbandonAndExit;
  using kolbrin::platform::ExitStatusForSignal;
  const int first = signals.Next(std::chrono::milliseconds(-1));
  {
    std::lock_guard lock(session.mutex);
    if (session.searchOver) AbandonAndExit(nullptr, tempDir, ExitStatusForSignal(first));
    if (session.search != nullptr) session.search->RequestStop();
  }
  const int second = signals.Next(first == SIGINT ? std::chrono::milliseconds(-1)
                                                  : std::chrono::milliseconds(kStopGrace));
  // Holding the lock keeps the main thread from releasing the worker meanwhile.
  std::lock_guard lock(session.mutex);
  AbandonAndExit(session.searchOver ? nullptr : session.search, tempDir,
                 ExitStatusForSignal(second != 0 ? second : first));
}

// The front end's side of the search: the tree, and the status line on a terminal.
class CliHost final : public kolbrin::SearchHost {
 public:
  explicit CliHost(bool statusToTerminal) : statusToTerminal_(statusToTerminal) {}

  void AddFileNode(const std::string& text, kolbrin::TextList hitTexts) override {
    tree_.AddFile(text, std::move(hitTexts));
  }
  // The copies are not listed: the whole private folder goes at the end.
  void AddTempFile(const std::string&) override {}
  void UpdateMenuState() override {}
  void SetStatusText(const std::string& text) override {
    if (!statusToTerminal_) return;
    if (text.empty()) {
      if (statusShown_) std::fputs("\r\x1b[K", stderr);
      statusShown_ = false;
    } else {
      std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
      statusShown_ = true;
    }
    std::fflush(stderr);
  }
  // As grep does: "kolbrin-grep: PATH: REASON" on stderr at once, the path's control
  // bytes escaped as on stdout, so a name cannot forge a line or reach the terminal.
  void ReportFailure(const std::string& path, const std::string& reason) override {
    std::string text = "kolbrin-grep: ";
    kolbrin::StringSink line{text};
    kolbrin::WriteRawText(line, path, /*tabsAllowed=*/false);
    text += ": " + reason + "\n";
    // The status line, when shown, is cleared first and comes back with the next text.
    if (statusShown_) std::fputs("\r\x1b[K", stderr);
    statusShown_ = false;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  const ResultTree& tree() const { return tree_; }
  bool StatusToTerminal() const { return statusToTerminal_; }

 private:
  const bool statusToTerminal_;
  bool statusShown_ = false;
  ResultTree tree_;
};

// Standard output through one large buffer, so a tree of millions of hits is never
// held a second time as one text and costs one system call per MiB. After a failed
// write nothing more is written, and Flush reports the failure with the errno the
// write left.
class BufferedOutput {
 public:
  BufferedOutput() : buffer_(new char[kCapacity]) {
    // A pipe takes 64 KiB by default, so a large tree would wait for the reader every
    // 64 KiB; a pipe as large as the buffer takes a whole buffer at once.
    const int pipeSize = ::fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
    if (pipeSize > 0 && static_cast<std::size_t>(pipeSize) < kCapacity) {
      ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(kCapacity));
    }
  }

  void Write(char byte) {
    if (used_ == kCapacity) Flush();
    buffer_[used_++] = byte;
  }
  void Write(std::string_view piece) {
    if (piece.size() > kCapacity - used_) {
      Flush();
      // A piece longer than the buffer (a long path) goes out in its own write.
      if (piece.size() > kCapacity) {
        WriteAll(piece.data(), piece.size());
        return;
      }
    }
    std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
    used_ += piece.size();
  }
  // Writes out what the buffer holds; false when this or an earlier write failed.
  bool Flush() {
    WriteAll(buffer_.get(), used_);
    used_ = 0;
    return !failed_;
  }

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 20;

  void WriteAll(const char* data, std::size_t size) {
    if (!failed_) failed_ = !kolbrin::platform::WriteAll(STDOUT_FILENO, {data, size});
  }

  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  kolbrin::platform::PinLocalTimeZone();
  // A frequent string makes millions of result strings on the worker thread. One
  // arena that grows in large steps spares a system call per page of them.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TOP_PAD, 128 << 20);
  using kolbrin::cli::ParseOutcome;
  const ParseOutcome parsed =
      kolbrin::cli::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.kind) {
    case ParseOutcome::Help:
      std::fputs(kolbrin::cli::kUsage, stdout);
      return 0;
    case ParseOutcome::Version:
      std::printf("kolbrin-grep %s\n", kolbrin::cli::kVersion);
      return 0;
    case ParseOutcome::UsageError:
      std::fprintf(stderr, "kolbrin-grep: %s (see --help)\n", parsed.message.c_str());
      return 2;
    case ParseOutcome::Run:
      break;
  }
  const kolbrin::cli::Options& options = parsed.options;

  // Caught before the private folder exists, so no signal ends the program between
  // its creation and the signal thread's start.
  kolbrin::platform::EndingSignals signals;
  // Archive members are extracted into a folder of our own inside TEMP, so no file
  // of another program or user is overwritten, and nobody can plant a link there.
  // Without one (empty) archives are not searched, and plain files still are.
  const std::optional<kolbrin::platform::PrivateFolder> privateFolder =
      kolbrin::platform::CreatePrivateFolder(kolbrin::platform::TempDirectory());
  const std::string tempDir = privateFolder ? privateFolder->path() : "";
  Session session;
  // Never joined: the program ends by exit while it waits.
  std::thread(WatchSignals, std::ref(signals), std::ref(session), std::cref(tempDir)).detach();
  kolbrin::LoadLzhLibrary();
  kolbrin::LoadZipLibrary();
  kolbrin::LoadAnyLibrary();

  // The main thread only waits for the search, so the worker may call the host itself.
  kolbrin::platform::EventLoop loop(/*ownerOnlyWaits=*/true);
  CliHost host(::isatty(STDERR_FILENO) == 1);
  auto search = std::make_unique<TGrep>(loop, host, kolbrin::ArchiverMemberAccess());
  // Without a current folder (removed, or a folder above it unreadable) a relative
  // path stays as given: it is still opened from there, if at all.
  const std::optional<std::string> currentFolder = kolbrin::platform::CurrentFolder();
  std::vector<std::string> paths;
  paths.reserve(options.paths.size());
  for (const std::string& path : options.paths) {
    paths.push_back(currentFolder ? kolbrin::platform::AbsolutePath(path, *currentFolder) : path);
  }
  search->Paths.Assign(std::move(paths));
  search->String1 = options.settings.String1;
  search->String2 = options.settings.String2;
  search->CaseSensitive = options.settings.CaseSensitive;
  search->HideFilesWithoutHits = !options.showEmpty;
  search->TabWidth = options.settings.TabWidth;
  search->AndMode = options.settings.AndMode;
  search->Encoding = options.settings.Encoding;
  search->SearchFolders = options.searchFolders;
  search->Jobs = options.jobs;
  search->TempDir = tempDir;
#ifdef KOLBRIN_PLAIN_SCANNER
  search->MakeScannerFor = kolbrin::MakePlainScanner;  // the benchmarks' reference build
#endif

  bool ended = false;
  search->SetOnTerminate([&ended] { ended = true; });
  {
    std::lock_guard lock(session.mutex);
    session.search = search.get();
    // A signal that came before the search existed still stops it.
    if (signals.LastArrived() != 0) search->RequestStop();
  }
  search->Resume();
  loop.RunUntil([&ended] { return ended; });
  {
    std::lock_guard lock(session.mutex);
    session.search = nullptr;
    session.searchOver = true;
  }

  const std::exception_ptr failure = search->FatalException();
  const kolbrin::SearchSummary summary = search->Summary();
  search.reset();
  kolbrin::FreeLzhLibrary();
  kolbrin::FreeZipLibrary();
  kolbrin::FreeAnyLibrary();
  if (!tempDir.empty()) kolbrin::platform::RemoveFolderTree(tempDir);

  // SIGTERM and SIGHUP end the session: nobody waits for the tree any more.
  // Decided by every signal that has arrived, also one the signal thread is still
  // about to act on: SIGINT then SIGTERM ends as SIGTERM, whichever thread is first.
  const int endingSignal = signals.LastArrived();
  if (signals.SessionEndArrived()) {
    std::exit(kolbrin::platform::ExitStatusForSignal(endingSignal));
  }

  std::fflush(stdout);
  // Every file expanded, each text with its own bytes, as the search found them.
  const auto everyFileExpanded = [](std::size_t) { return true; };
  BufferedOutput output;
  kolbrin::PrintTree(host.tree().Files(), everyFileExpanded, kolbrin::TextForm::Raw, output);
  if (!output.Flush()) {
    std::perror("kolbrin-grep: writing the results");
    std::exit(2);
  }
  // On a terminal, what the search did, as the window's status bar says it.
  if (host.StatusToTerminal()) {
    std::fprintf(stderr, "%s\n", kolbrin::SummaryText(summary).c_str());
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "kolbrin-grep: the search failed: %s\n", error.what());
    } catch (...) {
      std::fputs("kolbrin-grep: the search failed\n", stderr);
    }
    std::exit(2);
  }
  // Exits without returning: the tree's millions of strings would otherwise be freed
  // one by one, and the system takes the whole heap back at once.
  if (endingSignal != 0) std::exit(kolbrin::platform::ExitStatusForSignal(endingSignal));
  // A path that could not be searched makes it 2, as in grep, hits or none.
  if (summary.failed != 0) std::exit(2);
  std::exit(host.tree().HitCount() > 0 ? 0 : 1);
}
