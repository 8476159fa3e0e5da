#include "platform/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <vector>

// Where an installed program's plug-ins are, from the program's folder; the build
// defines it from the install layout.
#ifndef KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM
#define KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM "../lib/kolbrin"
#endif

namespace kolbrin::platform {

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

std::string ProgramFolder() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  const std::string program(buffer.data(), static_cast<std::size_t>(n));
  const std::size_t slash = program.rfind('/');
  if (slash == std::string::npos) return {};
  return program.substr(0, slash);
}

std::string InstalledPluginFolder(const std::string& programFolder) {
  return programFolder + "/" KOLBRIN_PLUGIN_FOLDER_FROM_PROGRAM;
}

ModuleHandle LoadLibrary(const std::string& windowsName) {
  const std::string file = LibraryFileName(windowsName);
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    for (const std::string& candidate :
         {folder + "/" + file, InstalledPluginFolder(folder) + "/" + file}) {
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
