// Archives made on the fly for the tests: ZIPs, tar.gz and 7z through libarchive's
// writer and LZHs of stored members written byte by byte, with names as given.
#pragma once

#include <string>
#include <vector>

namespace kolbrin::test {

struct FixtureMember {
  std::string name{};  // bytes as stored (may be Shift-JIS for LZH); "/" separates folders
  std::string data{};
  bool directory = false;       // a folder entry
  std::string symlinkTarget{};  // non-empty: a symbolic-link entry
  bool encrypted = false;       // ZIP only: encrypted with `password`
};

// Writes a ZIP through libarchive's writer (deflate); encrypted members use ZipCrypto
// with `password`. A name that is valid UTF-8 beyond ASCII carries the UTF-8 flag; any
// other name is stored as raw bytes without it, as a Japanese Windows zipper does.
void WriteZip(const std::string& path, const std::vector<FixtureMember>& members,
              const std::string& password = "");

// Writes an LZH of stored (-lh0-) members with header level 0, 1 or 2; names as given.
// Level 0 stores folders with backslashes, levels 1 and 2 in a folder-name header.
void WriteStoredLzh(const std::string& path, const std::vector<FixtureMember>& members,
                    int headerLevel = 2);

// Writes a tar (GNU layout, names as raw bytes) compressed with gzip.
void WriteTarGz(const std::string& path, const std::vector<FixtureMember>& members);

// Writes a 7z (every member in one compressed stream); names must be UTF-8.
void WriteSevenZip(const std::string& path, const std::vector<FixtureMember>& members);

// `data` compressed with gzip, as a single compressed file holds it.
std::string Gzipped(const std::string& data);

// Folder of the committed fixtures: KOLBRIN_FIXTURES (a compile definition).
std::string FixturePath(const std::string& relative);

}  // namespace kolbrin::test
