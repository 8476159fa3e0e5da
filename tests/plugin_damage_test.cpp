// Damaged archives: every entry gives one of its failure codes, never a crash, and
// a member whose data is damaged leaves no file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/PluginHarness.h"

namespace kolbrin::test {
namespace {

void ExpectCodesOnly(const Kind& kind, const std::string& bytes, TempFolder& root) {
  const Plugin& p = kind.plugin();
  // A fresh name each time: rewriting one file in place makes ext4 flush it on close.
  static int serial = 0;
  const std::string archive = root.Write("damaged" + std::to_string(++serial), bytes);
  const std::string folder = root.path() + "/D";
  const int checked = p.check(archive.c_str(), 0);
  const Listing listing = List(p, archive);
  EXPECT_TRUE(checked == (listing.end != 1)) << "open agrees with check";
  EXPECT_TRUE(listing.end == ARCHIVER_END || listing.end == ARCHIVER_BAD_ARCHIVE ||
              listing.end == 1);
  for (const std::string& name : listing.names) {
    // A damaged name may hold a quote before a blank, which no command line can carry.
    if (name.find('"') != std::string::npos) continue;
    const int result = Extract(p, archive, folder, name, true);
    EXPECT_TRUE(result <= ARCHIVER_OK && result >= ARCHIVER_BAD_DATA && result != ARCHIVER_BUSY &&
                result != ARCHIVER_BAD_HANDLE && result != ARCHIVER_BAD_ARGUMENT)
        << result;
  }
  for (const std::string& left : Contents(folder)) {
    EXPECT_EQ(left.find(".part"), std::string::npos) << left;
  }
  fs::remove_all(folder);
  fs::remove(archive);
}

TEST(PluginDamage, TruncatedOrFlippedArchivesGiveCodesNotCrashes) {
  for (const Kind& kind : kAllKinds) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    std::string text;
    for (int i = 0; i < 20; ++i) text += "line " + std::to_string(i * 7919) + "\n";
    kind.Write(root.path() + "/good", {{"a.txt", text}, Folder("dir/"), {"dir/b.txt", "bb"}});
    const std::string good = ReadWholeFile(root.path() + "/good");
    ASSERT_EQ(List(kind.plugin(), root.path() + "/good").names, (Names{"a.txt", "dir/b.txt"}));
    for (std::size_t cut = 0; cut < good.size(); ++cut)
      ExpectCodesOnly(kind, good.substr(0, cut), root);
    for (std::size_t at = 0; at < good.size(); ++at) {
      std::string flipped = good;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x55);
      ExpectCodesOnly(kind, flipped, root);
    }
  }
}

TEST(PluginDamage, DamagedMemberDataFailsAndLeavesNoFile) {
  std::mt19937 random(1);
  std::string noise(200000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  TempFolder root;
  const std::string lzh = root.path() + "/a.lzh";
  WriteStoredLzh(lzh, {{"n.bin", noise}}, 2);
  std::string bytes = ReadWholeFile(lzh);
  bytes[bytes.size() - 1 - noise.size() / 2] ^= 1;  // past the first 65,536 bytes
  root.Write("a.lzh", bytes);
  const std::string zip = root.path() + "/a.zip";
  WriteZip(zip, {{"n.bin", noise}});
  bytes = ReadWholeFile(zip);
  bytes[bytes.size() / 2] ^= 1;
  root.Write("a.zip", bytes);
  // A method libarchive cannot decode, in an otherwise sound level-0 header.
  const std::string method = root.path() + "/lh1.lzh";
  WriteStoredLzh(method, {{"n.bin", "plain"}}, 0);
  bytes = ReadWholeFile(method);
  bytes[5] = '1';
  bytes[1] = static_cast<char>(bytes[1] + '1' - '0');
  root.Write("lh1.lzh", bytes);
  for (const auto& [p, path] :
       {std::pair{&Lzh(), lzh}, std::pair{&Zip(), zip}, std::pair{&Lzh(), method}}) {
    SCOPED_TRACE(path);
    ASSERT_EQ(List(*p, path).names, Names{"n.bin"});
    const std::string folder = root.path() + "/D";
    EXPECT_EQ(Extract(*p, path, folder, "n.bin", false), ARCHIVER_BAD_DATA);
    EXPECT_EQ(Contents(folder), Names{});
  }
}

}  // namespace
}  // namespace kolbrin::test
