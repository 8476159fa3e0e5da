// Writes the archives for the member-search benchmark: N stored members of about
// 2 KB of text each, as a ZIP (through libarchive) and as an LZH (-lh0-).
//
//   kolbrin-archives OUTPUT-PREFIX [MEMBERS]
// writes OUTPUT-PREFIX.zip and OUTPUT-PREFIX.lzh.
#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/ArchiveFixtures.h"

namespace {

bool WriteStoredZip(const std::string& path,
                    const std::vector<kolbrin::test::FixtureMember>& members) {
  archive* writer = archive_write_new();
  archive_write_set_format_zip(writer);
  archive_write_set_options(writer, "zip:compression=store");
  if (archive_write_open_filename(writer, path.c_str()) != ARCHIVE_OK) return false;
  for (const auto& member : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(member.data.size()));
    archive_write_header(writer, entry);
    archive_write_data(writer, member.data.data(), member.data.size());
    archive_entry_free(entry);
  }
  const bool ok = archive_write_close(writer) == ARCHIVE_OK;
  archive_write_free(writer);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: kolbrin-archives OUTPUT-PREFIX [MEMBERS]\n", stderr);
    return 2;
  }
  const std::string prefix = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
  std::mt19937 random(42);
  std::vector<kolbrin::test::FixtureMember> members;
  for (int i = 0; i < count; ++i) {
    std::string text;
    while (text.size() < 2000) {
      text += "line " + std::to_string(random() % 100000) + " of member " + std::to_string(i);
      text += (i % 50 == 0 && text.size() < 100) ? " Quixotry42\n" : "\n";
    }
    members.push_back(
        {"dir" + std::to_string(i % 10) + "/member" + std::to_string(i) + ".txt", text});
  }
  try {
    kolbrin::test::WriteStoredLzh(prefix + ".lzh", members, 2);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kolbrin-archives: %s\n", error.what());
    return 1;
  }
  if (!WriteStoredZip(prefix + ".zip", members)) {
    std::fprintf(stderr, "kolbrin-archives: cannot write %s.zip\n", prefix.c_str());
    return 1;
  }
  return 0;
}
