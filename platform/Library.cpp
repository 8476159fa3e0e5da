#include "platform/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/Files.h"

// Where an installed program's plug-ins are, from the program's folder; the build
// defines it from the install layout.
#ifndef KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM
#define KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM "../lib/kolbrin"
#endif

namespace kolbrin::platform {

void PinLocalTimeZone() {
  // Unset, TZ stands for /etc/localtime; set, glibc reads the zone once and keeps it
  // while TZ stays the same.
  if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);
}

std::string LibraryFileName(const std::string& windowsName) {
  std::string name;
  for (const char c : windowsName) {
    name.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  constexpr std::string_view kDll = ".dll";
  if (name.size() >= kDll.size() &&
      name.compare(name.size() - kDll.size(), kDll.size(), kDll) == 0) {
    name.replace(name.size() - kDll.size(), kDll.size(), ".so");
  }
  return "lib" + name;
}

std::optional<std::string> ProgramPath() {
  std::vector<char> buffer(1024);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string InstalledPluginFolder(const std::string& programFolder) {
  return programFolder + KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM;
}

ModuleHandle LoadLibrary(const std::string& windowsName) {
  const std::string file = LibraryFileName(windowsName);
  // A program that cannot find its own path looks in the usual search order only.
  if (const std::optional<std::string> program = ProgramPath()) {
    const std::string folder = FolderOf(*program);
    for (const std::string& candidate :
         {folder + file, InstalledPluginFolder(folder) + "/" + file}) {
      if (::access(candidate.c_str(), F_OK) == 0) {
        return ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
      }
    }
  }
  return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(ModuleHandle module, const char* entryName) {
  return module == nullptr ? nullptr : ::dlsym(module, entryName);
}

bool FreeLibrary(ModuleHandle module) { return module != nullptr && ::dlclose(module) == 0; }

}  // namespace kolbrin::platform
