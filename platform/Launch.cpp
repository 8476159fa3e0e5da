#include "platform/Launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/Files.h"

namespace kolbrin::platform {
namespace {

std::mutex openerMutex;
std::string openerForTesting;

std::string OpenerProgram() {
  const std::lock_guard<std::mutex> lock(openerMutex);
  return openerForTesting.empty() ? std::string("xdg-open") : openerForTesting;
}

// `path` as seen from `folder` (itself taken from the current folder when relative
// or empty), absolute. Nothing when that needs the current folder and it cannot be
// determined: the program started enters another folder, where a relative path
// would name something else.
std::optional<std::string> FromFolder(const std::string& path, const std::string& folder) {
  if (!path.empty() && path.front() == '/') return path;
  std::string base = folder;
  if (base.empty() || base.front() != '/') {
    const std::optional<std::string> current = CurrentFolder();
    if (!current) return std::nullopt;
    base = base.empty() ? *current : *current + "/" + base;
  }
  if (base.back() != '/') base.push_back('/');
  return base + path;
}

// One started child, shared by its reaper thread and the starter, which hands
// over the pid once the spawn has returned.
struct Child {
  std::mutex mutex;
  std::condition_variable started;
  pid_t pid = 0;  // 0 until started; -1 when starting failed
  // Called by the reaper when the child fails before the deadline.
  std::function<void()> failedLater;
  std::chrono::steady_clock::time_point failureDeadline;
};

void ReapWhenEnded(const std::shared_ptr<Child>& child) {
  pid_t pid = 0;
  {
    std::unique_lock<std::mutex> lock(child->mutex);
    child->started.wait(lock, [&] { return child->pid != 0; });
    pid = child->pid;
  }
  if (pid < 0) return;
  int status = 0;
  pid_t result = 0;
  do {
    result = ::waitpid(pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  const bool failed = result != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  if (failed && child->failedLater && std::chrono::steady_clock::now() <= child->failureDeadline) {
    child->failedLater();
  }
}

// Spawns `program` with argv {program, argument}; 0 or the error number.
int Spawn(const std::string& program, const std::string& argument, const std::string& workingFolder,
          pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int error = ::posix_spawn_file_actions_init(&actions); error != 0) return error;
  if (int error = ::posix_spawnattr_init(&attributes); error != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  sigset_t noSignals;
  sigset_t allSignals;
  ::sigemptyset(&noSignals);
  ::sigfillset(&allSignals);
  int error = 0;
  if (!workingFolder.empty()) {
    error = ::posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  }
  if (error == 0) error = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Signals Kolbrin ignores or blocks (SIGPIPE, say) would stay so in the child.
  if (error == 0) error = ::posix_spawnattr_setsigmask(&attributes, &noSignals);
  if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes, &allSignals);
  if (error == 0) {
    error = ::posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  }
  if (error == 0) {
    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()),
                          nullptr};
    error = ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, environ);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error;
}

// Starts the program with its reaper; false when it could not be started. The
// reaper thread exists before the child does, so no child is started that nothing
// would reap.
bool Start(const std::string& program, const std::string& argument,
           const std::string& workingFolder, std::function<void()> failedLater = {}) {
  auto child = std::make_shared<Child>();
  child->failedLater = std::move(failedLater);
  child->failureDeadline = std::chrono::steady_clock::now() + kOpenerPatience;
  try {
    std::thread(ReapWhenEnded, child).detach();
  } catch (const std::system_error&) {
    return false;
  }
  pid_t pid = -1;
  const int error = Spawn(program, argument, workingFolder, pid);
  {
    const std::lock_guard<std::mutex> lock(child->mutex);
    child->pid = error == 0 ? pid : -1;
  }
  child->started.notify_all();
  return error == 0;
}

}  // namespace

bool OpenDocument(const std::string& document, const std::string& workingFolder,
                  std::function<void()> failedLater) {
  if (document.empty()) return false;
  // The opener may hand the path to a service running in another folder.
  const std::optional<std::string> path = FromFolder(document, workingFolder);
  if (!path || !Exists(*path)) return false;
  // xdg-open normally hands the file to a desktop service and ends at once, or
  // finds within a moment that nothing can open it; on some desktops it runs the
  // application itself and lingers. The caller (the window) never waits for it.
  return Start(OpenerProgram(), *path, workingFolder, std::move(failedLater));
}

bool LaunchApplication(const std::string& application, const std::string& document,
                       const std::string& workingFolder) {
  if (application.empty() || document.empty()) return false;
  const std::optional<std::string> documentPath = FromFolder(document, workingFolder);
  if (!documentPath || !Exists(*documentPath)) return false;
  // The child enters the working folder before its exec, which would otherwise
  // resolve a relative program path from there.
  const bool relativePath =
      application.front() != '/' && application.find('/') != std::string::npos;
  const std::optional<std::string> program =
      relativePath ? FromFolder(application, "") : application;
  if (!program) return false;
  return Start(*program, document, workingFolder);
}

void SetDocumentOpenerForTesting(const std::string& program) {
  const std::lock_guard<std::mutex> lock(openerMutex);
  openerForTesting = program;
}

}  // namespace kolbrin::platform
