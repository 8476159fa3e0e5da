// Archive members in a search: listed, extracted one by one into the private
// folder, scanned, published, and deleted again when they have no hits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/Files.h"
#include "tests/ArchiveFixtures.h"
#include "tests/SearchSupport.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::FixtureMember;
using test::Search;
using test::TempFolder;
using Texts = std::vector<std::string>;

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string Contents(const std::string& path) {
  platform::FileBytes bytes;
  if (!bytes.Load(path, 1 << 20)) return "<unreadable>";
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

class MemberSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLzhLibrary());
    ASSERT_TRUE(LoadZipLibrary());
    ASSERT_TRUE(LoadAnyLibrary());
    // The shared TEMP folder holds a file named like a member; it must survive.
    outerTemp = folder.path() + "/temp/";
    ASSERT_EQ(::mkdir(outerTemp.c_str(), 0700), 0);
    folder.Write("temp/readme.txt", "the user's own file");
    made = platform::CreatePrivateFolder(outerTemp);
    ASSERT_TRUE(made);
    tempDir = made->path();
  }
  void TearDown() override {
    FreeLzhLibrary();
    FreeZipLibrary();
    FreeAnyLibrary();
    EXPECT_EQ(Contents(outerTemp + "readme.txt"), "the user's own file");
  }
  std::unique_ptr<Search> NewSearch(const std::string& string1, bool hide) {
    auto search = std::make_unique<Search>(string1);
    search->grep->TempDir = tempDir;
    search->host.hide = hide;
    return search;
  }
  std::string Zip(const std::string& name, const std::vector<FixtureMember>& members) {
    const std::string path = folder.path() + "/" + name;
    test::WriteZip(path, members, "pw");
    return path;
  }
  std::string TarGz(const std::string& name, const std::vector<FixtureMember>& members) {
    const std::string path = folder.path() + "/" + name;
    test::WriteTarGz(path, members);
    return path;
  }

  TempFolder folder;
  std::string outerTemp;
  std::optional<platform::PrivateFolder> made;
  std::string tempDir;
};

TEST_F(MemberSearch, MembersOfTheSameBaseNameEachGetTheirOwnCopy) {
  const std::string zip = Zip(
      "a.zip",
      {{"a/readme.txt", "key one\n"}, {"b/readme.txt", "two key\n"}, {"c/none.txt", "nothing\n"}});
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(zip);
  search->Run();
  const std::vector<FileNode>& files = search->host.tree.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].text, tempDir + "readme.txt");
  EXPECT_EQ(files[0].hits, Texts{"LINE[0000000001]:key one"});
  EXPECT_EQ(files[1].text, tempDir + "2/readme.txt");
  EXPECT_EQ(files[1].hits, Texts{"LINE[0000000001]:two key"});
  // Each node opens the content that was searched.
  EXPECT_EQ(Contents(files[0].text), "key one\n");
  EXPECT_EQ(Contents(files[1].text), "two key\n");
  EXPECT_EQ(search->host.tempFiles, (Texts{files[0].text, files[1].text}));
  EXPECT_EQ(FilesIn(tempDir), (std::set<std::string>{"2", "readme.txt"})) << "no copy without hits";
  EXPECT_EQ(search->host.statuses.front(), tempDir + "readme.txt 検索中...");
  for (const std::string& copy : search->host.tempFiles) DeleteMemberCopy(copy, tempDir);
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{}) << "the numbered folder goes with its copy";
}

// Names the library writes under another name than the listed one: each member is
// searched under the copy the library wrote, and nothing is left once the copies
// with hits are deleted.
TEST_F(MemberSearch, EveryMemberIsSearchedUnderTheCopyTheLibraryWrote) {
  // 344 bytes, cut to 255 at a character boundary before the extension.
  std::string longJapanese(100, 'x');
  std::string shortenedJapanese(100, 'x');
  for (int i = 0; i < 40; ++i) longJapanese += "検索";
  for (int i = 0; i < 25; ++i) shortenedJapanese += "検索";
  struct Case {
    std::string member;
    std::string node;  // inside the private folder; empty: not searched
  };
  const std::vector<Case> cases = {
      {"b.txt ", "b.txt"},
      {" c.txt", "c.txt"},
      {"c.txt", "2/c.txt"},
      {"../up.txt", "up.txt"},
      {"/abs.txt", "abs.txt"},
      {"C:/win.txt", "win.txt"},
      {"q\" x.txt", ""},
      {std::string(300, 'n') + ".txt", std::string(251, 'n') + ".txt"},
      {longJapanese + ".txt", shortenedJapanese + ".txt"},
  };
  for (const bool lzh : {false, true}) {
    SCOPED_TRACE(lzh ? "lzh" : "zip");
    std::vector<FixtureMember> members;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      members.push_back({cases[i].member, "key of member " + std::to_string(i) + "\n"});
    }
    // An unrelated member named like the part before the quote must not be written.
    members.push_back({"q", "no hit"});
    std::string archive;
    if (lzh) {
      archive = folder.path() + "/names.lzh";
      test::WriteStoredLzh(archive, members, 2);
    } else {
      archive = Zip("names.zip", members);
    }
    const std::optional<platform::PrivateFolder> held = platform::CreatePrivateFolder(outerTemp);
    const std::string privateFolder = held.value().path();
    auto search = NewSearch("key", /*hide=*/true);
    search->grep->TempDir = privateFolder;
    search->grep->Paths.Add(archive);
    search->Run();
    Texts expected;
    std::vector<Texts> expectedHits;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      if (cases[i].node.empty()) continue;
      expected.push_back(privateFolder + cases[i].node);
      expectedHits.push_back({"LINE[0000000001]:key of member " + std::to_string(i)});
    }
    ASSERT_EQ(search->FileNodes(), expected);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(search->host.tree.Files()[i].hits, expectedHits[i]) << expected[i];
    }
    for (const std::string& copy : search->host.tempFiles) DeleteMemberCopy(copy, privateFolder);
    EXPECT_TRUE(platform::RemoveEmptyFolder(privateFolder)) << "something was left behind";
  }
}

// The window shows a busy cursor while an archive is extracted, once for the whole
// archive (not flickering member by member): the worker asks for it on the owner's
// thread, in pairs, as the cursor must never be set from the worker.
TEST_F(MemberSearch, EachArchiveIsShownExtractingOnceOnTheOwnersThread) {
  const std::string zip = Zip("a.zip", {{"a.txt", "key\n"}, {"b.txt", "none\n"}});
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(zip);
  search->Run();
  EXPECT_EQ(search->host.extracting, (std::vector<bool>{true, false}));
  for (const std::thread::id thread : search->host.extractingThreads) {
    EXPECT_EQ(thread, std::this_thread::get_id());
  }
}

TEST_F(MemberSearch, WithHidingOffAMemberWithoutHitsShowsItsDeletedCopy) {
  const std::string lzh = folder.path() + "/b.lzh";
  test::WriteStoredLzh(lzh, {{"doc/none.txt", "nothing\n"}, {"hit.txt", "a key\n"}});
  auto search = NewSearch("key", /*hide=*/false);
  search->grep->Paths.Add(lzh);
  search->Run();
  EXPECT_EQ(search->FileNodes(), (Texts{tempDir + "none.txt", tempDir + "hit.txt"}));
  EXPECT_TRUE(search->host.tree.Files()[0].hits.empty());
  EXPECT_EQ(search->host.tempFiles, (Texts{tempDir + "none.txt", tempDir + "hit.txt"}));
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{"hit.txt"});
}

TEST_F(MemberSearch, EncryptedMembersAreSkippedWithoutExtraction) {
  const std::string zip =
      Zip("c.zip", {{"secret.txt", "key\n", false, "", true}, {"open.txt", "key\n"}});
  auto search = NewSearch("key", /*hide=*/false);
  search->grep->Paths.Add(zip);
  search->Run();
  EXPECT_EQ(search->FileNodes(), Texts{tempDir + "open.txt"});
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{"open.txt"});
}

TEST_F(MemberSearch, AnArchiveInsideAnArchiveIsSearchedAndItsCopyDeleted) {
  const std::string inner = folder.path() + "/inner.lzh";
  test::WriteStoredLzh(inner, {{"deep.txt", "key inside\n"}});
  const std::string zip = Zip("outer.zip", {{"inner.lzh", Contents(inner)}});
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(zip);
  search->Run();
  ASSERT_EQ(search->FileNodes(), Texts{tempDir + "deep.txt"});
  EXPECT_EQ(search->host.tree.Files()[0].hits, Texts{"LINE[0000000001]:key inside"});
  EXPECT_EQ(search->host.tempFiles, Texts{tempDir + "deep.txt"});
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{"deep.txt"}) << "the archive's copy is gone";
}

// A zip inside a zip inside a tar.gz: every level's members are searched in listed
// order, each copy shown and listed like any other, and no copy of an archive is
// left; the busy cursor is shown once for the dropped archive.
TEST_F(MemberSearch, ArchivesInsideArchivesAreSearchedThreeLevelsDeep) {
  const std::string inner = folder.path() + "/inner.zip";
  test::WriteZip(inner, {{"leaf.txt", "key at level 3\n"}});
  const std::string outer = folder.path() + "/outer.zip";
  test::WriteZip(outer, {{"mid.txt", "key at level 2\n"}, {"inner.zip", Contents(inner)}});
  const std::string tgz = TarGz("top.tar.gz", {{"top.txt", "key at level 1\n"},
                                               {"dir/outer.zip", Contents(outer)},
                                               {"last.txt", "key after\n"}});
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(tgz);
  search->Run();
  const Texts copies = {tempDir + "top.txt", tempDir + "mid.txt", tempDir + "leaf.txt",
                        tempDir + "last.txt"};
  ASSERT_EQ(search->FileNodes(), copies);
  EXPECT_EQ(search->host.tree.Files()[2].hits, Texts{"LINE[0000000001]:key at level 3"});
  EXPECT_EQ(search->host.tempFiles, copies);
  EXPECT_EQ(FilesIn(tempDir),
            (std::set<std::string>{"top.txt", "mid.txt", "leaf.txt", "last.txt"}));
  EXPECT_EQ(search->host.extracting, (std::vector<bool>{true, false}));
}

// The fourth level is not opened: that archive's copy is searched as a file.
TEST_F(MemberSearch, AnArchiveFourLevelsDeepIsSearchedAsAFile) {
  std::string nested = folder.path() + "/level4.zip";
  test::WriteZip(nested, {{"leaf.txt", "key\n"}});
  for (const char* name : {"level3.zip", "level2.zip"}) {
    const std::string next = folder.path() + "/" + name;
    test::WriteZip(next, {{platform::FileNameOf(nested), Contents(nested)}});
    nested = next;
  }
  const std::string tgz = TarGz("level1.tgz", {{"level2.zip", Contents(nested)}});
  auto search = NewSearch("key", /*hide=*/false);
  search->grep->Paths.Add(tgz);
  search->Run();
  EXPECT_EQ(search->FileNodes(), Texts{tempDir + "level4.zip"});
  EXPECT_EQ(search->host.tempFiles, Texts{tempDir + "level4.zip"});
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{}) << "without hits, its copy went too";
}

// A stop while a member three levels deep is searched ends the search there: no
// further member at any level, and no copy of an archive is left behind.
TEST_F(MemberSearch, StopInsideANestedArchiveStartsNoFurtherMemberAtAnyLevel) {
  const std::string inner = folder.path() + "/inner.zip";
  test::WriteZip(inner, {{"leaf.txt", "key\n"}, {"after3.txt", "key\n"}});
  const std::string outer = folder.path() + "/outer.zip";
  test::WriteZip(outer, {{"inner.zip", Contents(inner)}, {"after2.txt", "key\n"}});
  const std::string tgz =
      TarGz("top.tar.gz", {{"outer.zip", Contents(outer)}, {"after1.txt", "key\n"}});
  const std::string later = folder.Write("z-later.txt", "key\n");
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(tgz);
  search->grep->Paths.Add(later);
  search->host.onStatus = [&](const std::string& text) {
    if (text.find("leaf.txt") != std::string::npos) search->grep->RequestStop();
  };
  search->Run();
  EXPECT_EQ(search->FileNodes(), Texts{tempDir + "leaf.txt"});
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{"leaf.txt"});
  EXPECT_TRUE(search->grep->Summary().stopped);
}

// The cap counts every copy the search holds at once: copies kept for their hits and
// the copy of an archive whose members are being searched; a copy deleted gives its
// bytes back.
TEST_F(MemberSearch, TheExtractionCapCountsEveryCopyTheSearchHolds) {
  constexpr std::size_t kPart = 30000;
  // Characters at random (no letters, so no hit) that deflate cannot shrink much, so
  // an archive's copy is about as large as its member.
  const std::string symbols = "0123456789!#$%&()*+,-./:;<=>?@[]^_{|}~";
  std::mt19937 random(7);
  std::string noise(kPart, ' ');
  for (char& c : noise) c = symbols[random() % symbols.size()];
  const auto text = [&](const std::string& head) { return head + "\n" + noise; };
  const std::string inner = folder.path() + "/inner.zip";
  test::WriteZip(inner, {{"deep.txt", text("key deep")}});
  const std::uint64_t innerBytes = Contents(inner).size();
  ASSERT_GT(innerBytes, kPart / 2 + 100) << "the member alone must fit where both do not";
  struct Case {
    const char* label;
    std::uint64_t cap;
    std::vector<FixtureMember> members;
    std::set<std::string> searched;  // the members with nodes
    std::set<std::string> reported;  // the members reported as not searched
  };
  const std::vector<Case> cases = {
      // The first copy goes for want of hits; the next two are kept, so a fourth of
      // the same size no longer fits, and a small one after it still does.
      {"kept copies",
       kPart * 5 / 2,
       {{"a.txt", text("none")},
        {"b.txt", text("key b")},
        {"c.txt", text("key c")},
        {"d.txt", text("key d")},
        {"e.txt", "key e\n"}},
       {"b.txt", "c.txt", "e.txt"},
       {"d.txt"}},
      // The archive's copy is held while its member would be extracted.
      {"an archive's copy", innerBytes + kPart / 2, {{"inner.zip", Contents(inner)}}, {}, {"deep.txt"}},
      {"room for both", innerBytes + kPart + 100, {{"inner.zip", Contents(inner)}}, {"deep.txt"}, {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const std::optional<platform::PrivateFolder> held = platform::CreatePrivateFolder(outerTemp);
    const std::string privateFolder = held.value().path();
    auto search = NewSearch("key", /*hide=*/true);
    search->grep->TempDir = privateFolder;
    search->grep->ExtractionCap = c.cap;
    search->grep->Paths.Add(TarGz("cap" + std::to_string(i) + ".tar.gz", c.members));
    search->Run();
    std::set<std::string> searched;
    for (const std::string& node : search->FileNodes()) searched.insert(platform::FileNameOf(node));
    EXPECT_EQ(searched, c.searched);
    EXPECT_EQ(FilesIn(privateFolder), c.searched) << "no copy beside the ones with nodes";
    // Each member left out is reported as "ARCHIVE: MEMBER", with the reason.
    std::set<std::string> reported;
    for (const auto& [path, reason] : search->host.failures) {
      // Named from the dropped archive down, never by a copy in the private folder.
      EXPECT_TRUE(path.starts_with(folder.path() + "/cap")) << path;
      reported.insert(path.substr(path.rfind(": ") + 2));
      EXPECT_EQ(reason, "larger than the extraction cap") << path;
    }
    EXPECT_EQ(reported, c.reported);
    EXPECT_EQ(search->grep->Summary().failed, c.reported.size());
  }
}

// A file named like one of the other kinds of archive that is not one, or that
// cannot be listed, is searched as the file it is: its node is the file itself,
// which is never listed for deletion.
TEST_F(MemberSearch, AFileNamedLikeAnArchiveThatIsNotOneIsSearchedAsItself) {
  const std::string sevenZip = folder.path() + "/good.7z";
  test::WriteSevenZip(sevenZip, {{"a.txt", std::string(4000, 'a') + " key\n"}});
  std::string truncated = Contents(sevenZip);
  truncated.resize(truncated.size() - 20);  // its member list is at the end
  const Texts paths = {folder.Write("cut.7z", truncated),
                       folder.Write("empty.tar", std::string(10240, '\0')),
                       folder.Write("notes.gz", "a key in plain text\n"),
                       folder.Write("Notes.LHA", "a key named like an LZH\n")};
  for (const bool withLibraries : {true, false}) {
    SCOPED_TRACE(withLibraries ? "libraries loaded" : "libraries missing");
    if (!withLibraries) {
      FreeAnyLibrary();
      FreeLzhLibrary();
    }
    auto search = NewSearch("key", /*hide=*/false);
    for (const std::string& path : paths) search->grep->Paths.Add(path);
    search->Run();
    EXPECT_EQ(search->FileNodes(), paths);
    EXPECT_TRUE(search->host.tempFiles.empty()) << "the user's own file listed for deletion";
    EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{});
    for (const std::string& path : paths) EXPECT_TRUE(platform::Exists(path)) << path;
  }
}

TEST(ArchiveKinds, ExtensionAtTheEndOfTheNameInAnyCaseNamesTheKind) {
  const std::pair<const char*, std::uint8_t> cases[] = {
      {"a.7z", kOtherArchive},      {"a.RAR", kOtherArchive},    {"a.tar", kOtherArchive},
      {"a.tar.gz", kOtherArchive},  {"a.Tgz", kOtherArchive},    {"a.tar.bz2", kOtherArchive},
      {"a.tbz2", kOtherArchive},    {"a.tar.xz", kOtherArchive}, {"a.txz", kOtherArchive},
      {"a.tar.zst", kOtherArchive}, {"a.cpio", kOtherArchive},   {"a.iso", kOtherArchive},
      {"a.cab", kOtherArchive},     {"log.gz", kOtherArchive},   {"log.bz2", kOtherArchive},
      {"log.xz", kOtherArchive},    {"log.zst", kOtherArchive},  {"log.lz4", kOtherArchive},
      {"log.Z", kOtherArchive},     {"log.z", kOtherArchive},    {"a.lha", kLzhArchive},
      {"A.LHA", kLzhArchive},       {"a.gz.txt", kPlainFile},    {"a.7zip", kPlainFile},
      {"a.tar.gz.bak", kPlainFile}, {"gz", kPlainFile},          {".gz", kPlainFile},
      {"a.zip", kPlainFile},        {"a.lzh", kPlainFile},       {"a.isolated", kPlainFile}};
  for (const auto& [name, kind] : cases) EXPECT_EQ(ArchiveKindByExtension(name), kind) << name;
}

TEST_F(MemberSearch, ShiftJisNamesGiveUtf8Copies) {
  const std::string lzh = folder.path() + "/sjis.lzh";
  // "表示.txt" in Shift-JIS: the second byte of 表 is 0x5C, a backslash.
  test::WriteStoredLzh(lzh, {{"\x95\x5C\x8E\xA6.txt", "key\n"}}, 0);
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(lzh);
  search->Run();
  EXPECT_EQ(search->FileNodes(), Texts{tempDir + "表示.txt"});
}

TEST_F(MemberSearch, Cp932MembersAreDecodedBeforeTheyAreSearched) {
  // "一行目\r\n検索する文字列です\r\n表示とソフト\r\n" in CP932 (iconv -t CP932); the
  // second bytes of 表 and ソ are 0x5C, a backslash.
  const std::string cp932 =
      "\x88\xEA\x8D\x73\x96\xDA\r\n"
      "\x8C\x9F\x8D\xF5\x82\xB7\x82\xE9\x95\xB6\x8E\x9A\x97\xF1\x82\xC5\x82\xB7\r\n"
      "\x95\x5C\x8E\xA6\x82\xC6\x83\x5C\x83\x74\x83\x67\r\n";
  const std::string zip = Zip("jp.zip", {{"jp.txt", cp932}});
  const std::string lzh = folder.path() + "/jp.lzh";
  test::WriteStoredLzh(lzh, {{"jp.txt", cp932}});
  for (const std::string& archive : {zip, lzh}) {
    auto search = NewSearch("検索", /*hide=*/true);
    search->grep->Paths.Add(archive);
    search->Run();
    ASSERT_EQ(search->FileNodes(), Texts{tempDir + "jp.txt"}) << archive;
    EXPECT_EQ(search->host.tree.Files()[0].hits, Texts{"LINE[0000000002]:検索する文字列です"})
        << archive;
  }
}

TEST_F(MemberSearch, StopBetweenMembersStartsNoFurtherMember) {
  const std::string zip =
      Zip("d.zip", {{"1.txt", "key\n"}, {"2.txt", "key\n"}, {"3.txt", "key\n"}});
  const std::string later = folder.Write("z-later.txt", "key\n");
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(zip);
  search->grep->Paths.Add(later);
  // Stopped while the first member is searched.
  search->host.onStatus = [&](const std::string& text) {
    if (!text.empty()) search->grep->RequestStop();
  };
  search->Run();
  EXPECT_EQ(search->FileNodes(), Texts{tempDir + "1.txt"});
  EXPECT_EQ(FilesIn(tempDir), std::set<std::string>{"1.txt"});
}

TEST_F(MemberSearch, StoppedHiddenMemberWithoutHitsIsDeletedAtOnce) {
  const std::string zip = Zip("e.zip", {{"long.txt", std::string(1 << 20, 'x')}});
  auto search = NewSearch("key", /*hide=*/true);
  search->grep->Paths.Add(zip);
  search->host.onStatus = [&](const std::string& text) {
    if (!text.empty()) search->grep->RequestStop();
  };
  search->Run();
  EXPECT_TRUE(search->FileNodes().empty());
  EXPECT_TRUE(FilesIn(tempDir).empty());
  EXPECT_TRUE(search->host.tempFiles.empty());
}

// Cut inside its first header (no signature left to match), empty, named like a
// ZIP without being one, or with no plug-in loaded: each is searched as the file
// it is, and none is an error.
TEST_F(MemberSearch, FilesThePlugInsRefuseOrCannotBeAskedAboutAreSearchedAsFiles) {
  const std::string good = Zip("good.zip", {{"in.txt", "key\n"}});
  std::string damaged = Contents(good);
  damaged.resize(12);  // inside the first member's header
  const std::string cut = folder.Write("cut.zip", damaged);
  const std::string empty = folder.Write("empty.lzh", std::string(1, '\0'));
  const std::string text = folder.Write("plain.zip.txt", "key but not an archive\n");
  auto search = NewSearch("key", /*hide=*/false);
  for (const std::string& path : {cut, empty, text}) search->grep->Paths.Add(path);
  search->Run();
  EXPECT_EQ(search->FileNodes(), (Texts{cut, empty, text}));
  EXPECT_EQ(search->grep->Summary().failed, 0u);

  FreeZipLibrary();
  auto unloaded = NewSearch("key", /*hide=*/false);
  unloaded->grep->Paths.Add(good);
  unloaded->Run();
  EXPECT_EQ(unloaded->FileNodes(), Texts{good});
  EXPECT_EQ(unloaded->grep->Summary().failed, 0u);
  EXPECT_TRUE(FilesIn(tempDir).empty());
}

}  // namespace
}  // namespace kolbrin
