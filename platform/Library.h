// Run-time loading of libraries by their Windows names. "UNLHA32.DLL" stands for
// the file libunlha32.so: lower case, "lib" in front, ".DLL" replaced by ".so".
// The program's own folder is searched first (the build puts the plug-ins beside
// the programs), then the installed plug-in folder ../lib/kolbrin from there (an
// installed program, wherever it was installed), then the usual search order.
#pragma once

#include <optional>
#include <string>

namespace kolbrin::platform {

using ModuleHandle = void*;

// The file name a Windows library name stands for.
std::string LibraryFileName(const std::string& windowsName);

// The running program's full path, from /proc/self/exe; nothing when that cannot
// be read. Its folder (see FolderOf) is where the plug-ins and the settings are
// looked for first.
std::optional<std::string> ProgramPath();

// The installed plug-in folder of a program in `programFolder` (ending in "/", as
// FolderOf gives it; empty for the current folder): "../lib/kolbrin" from it,
// without a trailing "/". Its existence tells an installed program.
std::string InstalledPluginFolder(const std::string& programFolder);

// Names the system's time zone file in TZ when TZ is unset, so that the archiver
// libraries' local times (libarchive converts each ZIP member's time) no longer
// make glibc look at /etc/localtime again on every conversion. The zone is the
// same. Call first thing in main, before any other thread runs (it sets the
// environment).
void PinLocalTimeZone();

// Loads the library; null when it cannot be found or loaded. A handle and an
// entry address have their own "none", so failure here is the null pointer, as
// the libraries' callers expect.
ModuleHandle LoadLibrary(const std::string& windowsName);
// The address of an entry; null when the library lacks it.
void* GetProcAddress(ModuleHandle module, const char* entryName);
// Releases a loaded library; false when that failed.
bool FreeLibrary(ModuleHandle module);

}  // namespace kolbrin::platform
