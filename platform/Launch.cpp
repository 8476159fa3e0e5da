#include "platform/Launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Files.h"

namespace kolbrin::platform {
namespace {

// How long OpenDocument waits for the opener, on the window's thread: xdg-open
// normally hands the file to a running desktop service and ends at once; one that
// lingers (it runs the application itself on some desktops) is taken to have
// succeeded and is left to its reaper thread. The wait is kept short, as the window
// does not repaint meanwhile, but long enough for xdg-open, a shell script, to find
// that it has no way to open the file and exit with an error (about 0.2 s).
constexpr std::chrono::milliseconds kOpenerWait{300};

std::mutex openerMutex;
std::string openerForTesting;

std::string OpenerProgram() {
  const std::lock_guard<std::mutex> lock(openerMutex);
  return openerForTesting.empty() ? std::string("xdg-open") : openerForTesting;
}

// `path` as seen from `folder` (itself taken from the current folder when relative
// or empty).
std::string FromFolder(const std::string& path, const std::string& folder) {
  if (!path.empty() && path.front() == '/') return path;
  std::string base = folder;
  if (base.empty() || base.front() != '/') {
    const std::string current = CurrentFolder();
    base = base.empty() ? current : current + "/" + base;
  }
  if (base.empty() || base.back() != '/') base.push_back('/');
  return base + path;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// What the reaper thread learns about one child. Shared by the thread and the
// starter, which may stop caring before the child ends.
struct Child {
  std::mutex mutex;
  std::condition_variable changed;
  pid_t pid = 0;        // 0 until started; -1 when starting failed
  bool ended = false;   // waitpid returned
  bool reaped = false;  // ... with the child's status (not an error)
  int status = 0;
};

void ReapWhenEnded(const std::shared_ptr<Child>& child) {
  pid_t pid = 0;
  {
    std::unique_lock<std::mutex> lock(child->mutex);
    child->changed.wait(lock, [&] { return child->pid != 0; });
    pid = child->pid;
  }
  if (pid < 0) return;
  int status = 0;
  pid_t result = 0;
  do {
    result = ::waitpid(pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  {
    const std::lock_guard<std::mutex> lock(child->mutex);
    child->ended = true;
    child->reaped = result == pid;
    child->status = status;
  }
  child->changed.notify_all();
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

// Starts the program with its reaper; null when it could not be started. The
// reaper thread exists before the child does, so no child is started that nothing
// would reap.
std::shared_ptr<Child> Start(const std::string& program, const std::string& argument,
                             const std::string& workingFolder) {
  auto child = std::make_shared<Child>();
  try {
    std::thread(ReapWhenEnded, child).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  pid_t pid = -1;
  const int error = Spawn(program, argument, workingFolder, pid);
  {
    const std::lock_guard<std::mutex> lock(child->mutex);
    child->pid = error == 0 ? pid : -1;
  }
  child->changed.notify_all();
  return error == 0 ? child : nullptr;
}

}  // namespace

bool OpenDocument(const std::string& document, const std::string& workingFolder) {
  if (document.empty()) return false;
  // The opener may hand the path to a service running in another folder.
  const std::string path = FromFolder(document, workingFolder);
  if (!Exists(path)) return false;
  const std::shared_ptr<Child> child = Start(OpenerProgram(), path, workingFolder);
  if (child == nullptr) return false;
  std::unique_lock<std::mutex> lock(child->mutex);
  if (!child->changed.wait_for(lock, kOpenerWait, [&] { return child->ended; })) return true;
  return child->reaped && WIFEXITED(child->status) && WEXITSTATUS(child->status) == 0;
}

bool LaunchApplication(const std::string& application, const std::string& document,
                       const std::string& workingFolder) {
  if (application.empty() || document.empty()) return false;
  if (!Exists(FromFolder(document, workingFolder))) return false;
  // The child enters the working folder before its exec, which would otherwise
  // resolve a relative program path from there.
  const bool relativePath =
      application.front() != '/' && application.find('/') != std::string::npos;
  const std::string program = relativePath ? FromFolder(application, "") : application;
  return Start(program, document, workingFolder) != nullptr;
}

void SetDocumentOpenerForTesting(const std::string& program) {
  const std::lock_guard<std::mutex> lock(openerMutex);
  openerForTesting = program;
}

}  // namespace kolbrin::platform
