// Starting the desktop's opener and chosen applications on a document.
#include "platform/Launch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "tests/TestSupport.h"

namespace kolbrin::platform {
namespace {

using test::ReadWholeFile;
using test::TempFolder;

// Polls until `done` holds; false if it never does within a generous bound.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) == nullptr ? path : resolved;
}

// A script that records its argument count, first argument, folder and pid into
// a folder that appears whole once written, then runs `ending`.
class Recorder {
 public:
  explicit Recorder(const std::string& ending = "exit 0") {
    const std::string record = folder_.path() + "/record";
    program_ = folder_.Write("recorder.sh", "#!/bin/sh\nr='" + record +
                                                ".tmp'\nmkdir \"$r\"\n"
                                                "printf '%s' \"$#\" > \"$r/count\"\n"
                                                "printf '%s' \"$1\" > \"$r/arg\"\n"
                                                "pwd -P > \"$r/cwd\"\n"
                                                "printf '%s' \"$$\" > \"$r/pid\"\n"
                                                "mv \"$r\" '" +
                                                record + "'\n" + ending + "\n");
    ::chmod(program_.c_str(), 0755);
  }
  const std::string& program() const { return program_; }
  bool WaitForRun() const {
    return WaitUntil([&] { return IsFolder(folder_.path() + "/record"); });
  }
  std::string Recorded(const std::string& name) const {
    return ReadWholeFile(folder_.path() + "/record/" + name);
  }
  // Waits until the recorded process is gone: ended and reaped, not a zombie.
  bool WaitUntilReaped() const {
    const pid_t pid = std::atoi(Recorded("pid").c_str());
    return pid > 0 && WaitUntil([&] { return ::kill(pid, 0) != 0 && errno == ESRCH; });
  }

 private:
  TempFolder folder_;
  std::string program_;
};

// Restores xdg-open as the opener when a test ends.
struct OpenerGuard {
  explicit OpenerGuard(const std::string& program) { SetDocumentOpenerForTesting(program); }
  ~OpenerGuard() { SetDocumentOpenerForTesting(""); }
};

using Launcher = std::function<bool(const std::string& program, const std::string& document,
                                    const std::string& workingFolder)>;

TEST(LaunchArguments, DocumentArrivesAsOneArgumentInTheWorkingFolder) {
  const std::pair<const char*, Launcher> launchers[] = {
      {"OpenDocument",
       [](const std::string& program, const std::string& document, const std::string& folder) {
         const OpenerGuard opener(program);
         return OpenDocument(document, folder);
       }},
      {"LaunchApplication", LaunchApplication},
  };
  for (const auto& [name, launch] : launchers) {
    TempFolder documents;
    TempFolder work;
    const std::string document =
        documents.Write("a doc 'single' \"double\" $HOME; rm -rf x\nline2 *.txt", "text");
    const Recorder recorder;
    ASSERT_TRUE(launch(recorder.program(), document, work.path())) << name;
    ASSERT_TRUE(recorder.WaitForRun()) << name;
    EXPECT_EQ(recorder.Recorded("count"), "1") << name;
    EXPECT_EQ(recorder.Recorded("arg"), document) << name;
    EXPECT_EQ(recorder.Recorded("cwd"), RealPath(work.path()) + "\n") << name;
    EXPECT_TRUE(recorder.WaitUntilReaped()) << name << ": left as a zombie";
  }
}

TEST(LaunchArguments, OpenerGetsARelativeDocumentAsAnAbsolutePath) {
  TempFolder work;
  work.Write("doc.txt", "text");
  const Recorder recorder;
  const OpenerGuard opener(recorder.program());
  ASSERT_TRUE(OpenDocument("doc.txt", work.path()));
  ASSERT_TRUE(recorder.WaitForRun());
  EXPECT_EQ(recorder.Recorded("arg"), work.path() + "/doc.txt");
}

TEST(LaunchFailure, ReportsWhatCannotBeStarted) {
  TempFolder folder;
  const std::string document = folder.Write("doc.txt", "text");
  const std::string plainFile = folder.Write("not-executable", "#!/bin/sh\nexit 0\n");
  const Recorder recorder;
  const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
      {"missing application", folder.path() + "/missing", document, folder.path()},
      {"not executable", plainFile, document, folder.path()},
      {"a folder", folder.path(), document, folder.path()},
      {"missing document", recorder.program(), folder.path() + "/gone.txt", folder.path()},
      {"missing working folder", recorder.program(), document, folder.path() + "/gone"},
  };
  for (const auto& [what, application, doc, work] : cases) {
    EXPECT_FALSE(LaunchApplication(application, doc, work)) << what;
  }
  EXPECT_FALSE(IsFolder(folder.path() + "/record")) << "the recorder ran";
  EXPECT_TRUE(LaunchApplication("true", document, folder.path())) << "found in PATH";
}

// Opens `document` and tells whether the opener reported a failure afterwards:
// nothing when it could not be started, else whether `failedLater` was called by
// the time the opener ended.
std::optional<bool> OpenAndWatch(const std::string& document, const std::string& folder,
                                 const Recorder* opener = nullptr) {
  auto failed = std::make_shared<std::atomic<bool>>(false);
  if (!OpenDocument(document, folder, [failed] { *failed = true; })) return std::nullopt;
  if (opener != nullptr) {
    EXPECT_TRUE(opener->WaitForRun());
    EXPECT_TRUE(opener->WaitUntilReaped());
  }
  // The reaper reports just after reaping.
  for (int i = 0; i < 20 && !*failed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return failed->load();
}

TEST(LaunchOpenerResult, ReportsAFailedOpenerLaterAndASuccessfulOneNever) {
  TempFolder folder;
  const std::string document = folder.Write("doc.txt", "text");
  {
    const OpenerGuard opener(folder.path() + "/no-such-opener");
    EXPECT_EQ(OpenAndWatch(document, folder.path()), std::nullopt) << "missing opener";
  }
  // Like xdg-open finding no way to open the file: it looks around first.
  const Recorder failing("sleep 0.02\nexit 3");
  const OpenerGuard opener(failing.program());
  EXPECT_EQ(OpenAndWatch(document, folder.path(), &failing), true) << "exit status 3";
  EXPECT_EQ(OpenAndWatch(folder.path() + "/gone.txt", folder.path()), std::nullopt)
      << "missing document";
  const Recorder succeeding("exit 0");
  SetDocumentOpenerForTesting(succeeding.program());
  EXPECT_EQ(OpenAndWatch(document, folder.path(), &succeeding), false);
}

TEST(LaunchOpenerResult, LingeringOpenerDoesNotHoldTheCallerAndIsReapedLater) {
  TempFolder folder;
  const std::string document = folder.Write("doc.txt", "text");
  const Recorder sleeper("exec sleep 10");
  const OpenerGuard opener(sleeper.program());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(OpenDocument(document, folder.path()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "held the caller while the opener lingered";
  ASSERT_TRUE(sleeper.WaitForRun());
  ::kill(std::atoi(sleeper.Recorded("pid").c_str()), SIGKILL);
  EXPECT_TRUE(sleeper.WaitUntilReaped());
}

}  // namespace
}  // namespace kolbrin::platform
