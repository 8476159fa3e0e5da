// kolbrin-grep: runs one search over its PATH operands, exactly as if they had been
// dropped on the window, and prints the result tree with every file expanded.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "cli/Options.h"
#include "platform/Files.h"
#include "platform/WorkerThread.h"
#include "search/ResultTree.h"
#include "search/Threadg.h"

namespace {

using kolbrin::ResultTree;
using kolbrin::TGrep;

// The running search, for the interrupt handler; RequestStop is a single atomic store.
std::atomic<TGrep*> gSearch{nullptr};
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<TGrep*>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  gInterrupted.store(true);
  if (TGrep* search = gSearch.load()) search->RequestStop();
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Only the first interrupt is the stop button; a second one ends the program.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

// The front end's side of the search: the tree, and the status line on a terminal.
class CliHost final : public kolbrin::SearchHost {
 public:
  CliHost(bool showEmpty, bool statusToTerminal)
      : showEmpty_(showEmpty), statusToTerminal_(statusToTerminal) {}

  bool HideFilesWithoutHits() override { return !showEmpty_; }
  void AddFileNode(const std::string& text, kolbrin::TextList hitTexts) override {
    tree_.AddFile(text, std::move(hitTexts), /*expanded=*/true);
  }
  void AddTempFile(const std::string& path) override { tempFiles_.push_back(path); }
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

  const ResultTree& tree() const { return tree_; }
  const std::vector<std::string>& tempFiles() const { return tempFiles_; }

 private:
  std::vector<std::string> tempFiles_;
  const bool showEmpty_;
  const bool statusToTerminal_;
  bool statusShown_ = false;
  ResultTree tree_;
};

// Writes the tree in its copy form, every file expanded, straight to standard output
// through one large buffer, so a tree of millions of hits is never held a second time
// as one text and costs one system call per MiB. False, with errno set, when a write
// failed.
bool PrintTree(const ResultTree& tree) {
  constexpr std::size_t kCapacity = std::size_t{1} << 20;
  std::unique_ptr<char[]> buffer(new char[kCapacity]);
  std::size_t used = 0;
  bool ok = true;
  // A pipe takes 64 KiB by default, so a large tree would wait for the reader every
  // 64 KiB; a pipe as large as the buffer takes a whole buffer at once.
  const int pipeSize = ::fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
  if (pipeSize > 0 && static_cast<std::size_t>(pipeSize) < kCapacity) {
    ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(kCapacity));
  }
  const auto writeAll = [&ok](const char* data, std::size_t size) {
    while (ok && size > 0) {
      const ssize_t n = ::write(STDOUT_FILENO, data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        ok = false;
      }
    }
  };
  const auto put = [&](char lead, std::string_view text) {
    if (text.size() + 2 > kCapacity - used) {
      writeAll(buffer.get(), used);
      used = 0;
    }
    if (text.size() + 2 > kCapacity) {
      // A node text longer than the buffer (a long path) goes out in its own write.
      writeAll(&lead, 1);
      writeAll(text.data(), text.size());
      writeAll("\n", 1);
      return;
    }
    char* out = buffer.get() + used;
    *out = lead;
    std::memcpy(out + 1, text.data(), text.size());
    out[text.size() + 1] = '\n';
    used += text.size() + 2;
  };
  for (const kolbrin::FileNode& file : tree.Files()) {
    put(file.hits.empty() ? ' ' : '-', file.text);
    for (std::string_view hit : file.hits) put('\t', hit);
    if (!ok) return false;
  }
  writeAll(buffer.get(), used);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
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

  // Archive members are extracted into a folder of our own inside TEMP, so no file
  // of another program or user is overwritten, and nobody can plant a link there.
  const std::string tempDir =
      kolbrin::platform::CreatePrivateFolder(kolbrin::platform::TempDirectory());
  kolbrin::LoadLzhLibrary();
  kolbrin::LoadZipLibrary();

  // The main thread only waits for the search, so the worker may call the host itself.
  kolbrin::platform::EventLoop loop(/*ownerOnlyWaits=*/true);
  CliHost host(options.showEmpty, ::isatty(STDERR_FILENO) == 1);
  auto search = std::make_unique<TGrep>(loop, host);
  const std::string currentFolder = kolbrin::platform::CurrentFolder();
  for (const std::string& path : options.paths) {
    search->Paths.Add(kolbrin::cli::AbsolutePath(path, currentFolder));
  }
  search->String1 = options.settings.String1;
  search->String2 = options.settings.String2;
  search->CaseSensitive = options.settings.CaseSensitive;
  search->TabWidth = options.settings.TabWidth;
  search->AndMode = options.settings.AndMode;
  search->Encoding = options.settings.Encoding;
  search->TempDir = tempDir;
#ifdef KOLBRIN_PLAIN_SCANNER
  search->MakeScannerFor = kolbrin::MakePlainScanner;  // the benchmarks' reference build
#endif

  bool ended = false;
  search->SetOnTerminate([&ended] { ended = true; });
  gSearch.store(search.get());
  InstallInterruptHandler();
  search->Resume();
  loop.RunUntil([&ended] { return ended; });
  gSearch.store(nullptr);

  const std::exception_ptr failure = search->FatalException();
  search.reset();
  kolbrin::FreeLzhLibrary();
  kolbrin::FreeZipLibrary();
  for (const std::string& copy : host.tempFiles()) kolbrin::DeleteMemberCopy(copy, tempDir);
  if (!tempDir.empty()) kolbrin::platform::RemoveEmptyFolder(tempDir);

  std::fflush(stdout);
  if (!PrintTree(host.tree())) {
    std::perror("kolbrin-grep: writing the results");
    std::exit(2);
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
  if (gInterrupted.load()) std::exit(130);
  std::exit(host.tree().HitCount() > 0 ? 0 : 1);
}
