#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kolbrin::test {

std::string Encode(const std::string& utf8, const char* converterName) {
  UErrorCode error = U_ZERO_ERROR;
  UConverter* target = ucnv_open(converterName, &error);
  UConverter* source = ucnv_open("UTF-8", &error);
  ucnv_setFromUCallBack(target, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
  std::string out(utf8.size() * 4 + 16, '\0');
  char* written = out.data();
  const char* read = utf8.data();
  ucnv_convertEx(target, source, &written, out.data() + out.size(), &read, read + utf8.size(),
                 nullptr, nullptr, nullptr, nullptr, true, true, &error);
  ucnv_close(target);
  ucnv_close(source);
  if (U_FAILURE(error)) return {};
  out.resize(static_cast<std::size_t>(written - out.data()));
  return out;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kolbrin-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const {
  const std::string file = path_ + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file);
  return file;
}

ScanOutcome ScanToEnd(Scanner& scanner, const std::string& path, std::uint32_t chunkSize) {
  ScanOutcome outcome;
  scanner.ResetForFile();
  do {
    outcome.result = scanner.ScanStep(path, chunkSize);
    ++outcome.steps;
  } while (outcome.result == ScanResult::ScanMore);
  outcome.entries = scanner.Results();
  outcome.firstPassEntries = scanner.FirstPassEntries();
  return outcome;
}

std::uint64_t BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  ADD_FAILURE() << "no wchar in /proc/self/io";
  return 0;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

ProcessOutcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& workingFolder) {
  TempFolder capture;
  const std::string outFile = capture.path() + "/out";
  const std::string errFile = capture.path() + "/err";
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!workingFolder.empty() && ::chdir(workingFolder.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  ProcessOutcome outcome;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = ReadWholeFile(outFile);
  outcome.err = ReadWholeFile(errFile);
  return outcome;
}

}  // namespace kolbrin::test
