// The archiver plug-ins as the program sees them, for the plug-in tests: loaded
// with dlopen from the test binary's own folder and called only through their
// exported C entries; archives of each kind written by the test support.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ArchiverApi.h"
#include "tests/ArchiveFixtures.h"
#include "tests/TestSupport.h"

namespace kolbrin::test {

namespace fs = std::filesystem;

struct Plugin {
  bool zip = false;
  int (*check)(const char*, int) = nullptr;
  ARCHIVER_HANDLE (*open)(void*, const char*, uint32_t) = nullptr;
  int (*close)(ARCHIVER_HANDLE) = nullptr;
  int (*findFirst)(ARCHIVER_HANDLE, const char*, void*) = nullptr;
  int (*findNext)(ARCHIVER_HANDLE, void*) = nullptr;
  int (*attribute)(ARCHIVER_HANDLE) = nullptr;  // ZIP only
  int (*setBackground)(int) = nullptr;
  int (*setCursor)(int) = nullptr;
  int (*running)() = nullptr;
  int (*command)(void*, const char*, char*, uint32_t) = nullptr;
  void (*setCap)(uint64_t) = nullptr;
  void (*setReserve)(uint64_t) = nullptr;
  void (*setArchiveCap)(uint64_t) = nullptr;
};

inline void* OpenLibrary(const std::string& file) {
  const std::string path = fs::read_symlink("/proc/self/exe").parent_path() / file;
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw std::runtime_error(::dlerror());
  return library;
}

template <typename Entry>
inline void Bind(void* library, const std::string& name, Entry& entry) {
  entry = reinterpret_cast<Entry>(::dlsym(library, name.c_str()));
  if (entry == nullptr) throw std::runtime_error("no entry " + name);
}

inline Plugin Load(const std::string& file, const std::string& prefix, bool zip) {
  void* library = OpenLibrary(file);
  Plugin p;
  p.zip = zip;
  Bind(library, prefix + "CheckArchive", p.check);
  Bind(library, prefix + "OpenArchive", p.open);
  Bind(library, prefix + "CloseArchive", p.close);
  Bind(library, prefix + "FindFirst", p.findFirst);
  Bind(library, prefix + "FindNext", p.findNext);
  if (zip) Bind(library, prefix + "GetAttribute", p.attribute);
  Bind(library, prefix + "SetBackGroundMode", p.setBackground);
  Bind(library, prefix + "SetCursorMode", p.setCursor);
  Bind(library, prefix + "GetRunning", p.running);
  Bind(library, prefix, p.command);
  Bind(library, prefix + "SetMemberSizeCap", p.setCap);
  Bind(library, prefix + "SetFreeSpaceReserve", p.setReserve);
  Bind(library, prefix + "SetArchiveCap", p.setArchiveCap);
  return p;
}

inline const Plugin& Lzh() {
  static const Plugin plugin = Load("libunlha32.so", "Unlha", false);
  return plugin;
}

inline const Plugin& Zip() {
  static const Plugin plugin = Load("libunzip32.so", "UnZip", true);
  return plugin;
}

// The library of the other kinds takes the ZIP library's command lines and names.
inline const Plugin& AnyArc() {
  static const Plugin plugin = Load("libanyarc.so", "AnyArc", true);
  return plugin;
}

enum class Writer { Zip, Lzh, TarGz, SevenZip };

struct Kind {
  const char* label;
  Writer writer;
  int lzhLevel = 0;  // LZH only
  const Plugin& plugin() const {
    switch (writer) {
      case Writer::Zip:
        return Zip();
      case Writer::Lzh:
        return Lzh();
      case Writer::TarGz:
      case Writer::SevenZip:
        break;
    }
    return AnyArc();
  }
  void Write(const std::string& path, const std::vector<FixtureMember>& members,
             const std::string& password = "") const {
    switch (writer) {
      case Writer::Zip:
        WriteZip(path, members, password);
        break;
      case Writer::Lzh:
        WriteStoredLzh(path, members, lzhLevel);
        break;
      case Writer::TarGz:
        WriteTarGz(path, members);
        break;
      case Writer::SevenZip:
        WriteSevenZip(path, members);
        break;
    }
  }
};
inline const Kind kZip{"zip", Writer::Zip};
inline const Kind kLzh0{"lzh level 0", Writer::Lzh, 0};
inline const Kind kLzh1{"lzh level 1", Writer::Lzh, 1};
inline const Kind kLzh2{"lzh level 2", Writer::Lzh, 2};
// Members in one compressed stream, read by the library of the other kinds.
inline const Kind kTarGz{"tar.gz", Writer::TarGz};
inline const Kind kSevenZip{"7z", Writer::SevenZip};  // UTF-8 names only
inline const std::vector<Kind> kAllKinds = {kZip, kLzh0, kLzh1, kLzh2, kTarGz};

struct Listing {
  std::vector<std::string> names;
  std::vector<int> attributes;
  int end = 1;  // the result that ended the listing; 1: not opened
};

inline Listing List(const Plugin& p, const std::string& path, const char* wildcard = "*.*") {
  Listing listing;
  ARCHIVER_HANDLE handle = p.open(nullptr, path.c_str(), 0);
  if (handle == nullptr) return listing;
  std::vector<char> record(ARCHIVER_FIND_RECORD_SIZE);
  int result = p.findFirst(handle, wildcard, record.data());
  for (int guard = 0; result == ARCHIVER_OK && guard < 100000; ++guard) {
    listing.names.emplace_back(record.data() + ARCHIVER_NAME_OFFSET);
    if (p.attribute != nullptr) listing.attributes.push_back(p.attribute(handle));
    result = p.findNext(handle, record.data());
  }
  listing.end = result;
  EXPECT_EQ(p.close(handle), ARCHIVER_OK);
  return listing;
}

inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

inline int RunCommand(const Plugin& p, const std::string& line) {
  char output[256];
  return p.command(nullptr, line.c_str(), output, sizeof output);
}

// Runs the command line the program writes to extract one listed member.
inline int Extract(const Plugin& p, const std::string& archive, const std::string& folder,
                   const std::string& member, bool withFolders) {
  const std::string paths = Quoted(archive) + " " + Quoted(folder + "/") + " ";
  if (!p.zip) {
    return RunCommand(p, std::string("e -r2 -u3 -m1 ") + (withFolders ? "-x1" : "-x0") + " -n1 " +
                             paths + Quoted(member) + " ");
  }
  return RunCommand(p, std::string("-x -n -o ") + (withFolders ? "" : "-j ") + "--i " + paths +
                           Quoted(member + "\t") + " ");
}

// Everything under `folder`, links not followed, as sorted relative paths.
inline std::vector<std::string> Contents(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    found.push_back(fs::relative(it->path(), folder).string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

using Names = std::vector<std::string>;

inline FixtureMember Folder(const std::string& name) {
  FixtureMember member{name};
  member.directory = true;
  return member;
}

inline FixtureMember Link(const std::string& name, const std::string& target) {
  FixtureMember member{name};
  member.symlinkTarget = target;
  return member;
}

}  // namespace kolbrin::test
