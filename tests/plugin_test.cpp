// The archiver plug-ins as the program sees them: loaded with dlopen from the test
// binary's own folder and called only through their exported C entries.
#include <dlfcn.h>
#include <sys/statvfs.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "archive/ArchiverApi.h"
#include "tests/ArchiveFixtures.h"
#include "tests/TestSupport.h"

namespace kolbrin::test {
namespace {

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
};

void* OpenLibrary(const std::string& file) {
  const std::string path = fs::read_symlink("/proc/self/exe").parent_path() / file;
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw std::runtime_error(::dlerror());
  return library;
}

template <typename Entry>
void Bind(void* library, const std::string& name, Entry& entry) {
  entry = reinterpret_cast<Entry>(::dlsym(library, name.c_str()));
  if (entry == nullptr) throw std::runtime_error("no entry " + name);
}

Plugin Load(const std::string& file, const std::string& prefix, bool zip) {
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
  return p;
}

const Plugin& Lzh() {
  static const Plugin plugin = Load("libunlha32.so", "Unlha", false);
  return plugin;
}

const Plugin& Zip() {
  static const Plugin plugin = Load("libunzip32.so", "UnZip", true);
  return plugin;
}

struct Kind {
  const char* label;
  int lzhLevel;  // -1 for ZIP
  const Plugin& plugin() const { return lzhLevel < 0 ? Zip() : Lzh(); }
  void Write(const std::string& path, const std::vector<FixtureMember>& members,
             const std::string& password = "") const {
    if (lzhLevel < 0) {
      WriteZip(path, members, password);
    } else {
      WriteStoredLzh(path, members, lzhLevel);
    }
  }
};
const Kind kZip{"zip", -1};
const Kind kLzh0{"lzh level 0", 0};
const Kind kLzh1{"lzh level 1", 1};
const Kind kLzh2{"lzh level 2", 2};
const std::vector<Kind> kAllKinds = {kZip, kLzh0, kLzh1, kLzh2};

struct Listing {
  std::vector<std::string> names;
  std::vector<int> attributes;
  int end = 1;  // the result that ended the listing; 1: not opened
};

Listing List(const Plugin& p, const std::string& path, const char* wildcard = "*.*") {
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

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

int RunCommand(const Plugin& p, const std::string& line) {
  char output[256];
  return p.command(nullptr, line.c_str(), output, sizeof output);
}

// Runs the command line the program writes to extract one listed member.
int Extract(const Plugin& p, const std::string& archive, const std::string& folder,
            const std::string& member, bool withFolders) {
  const std::string paths = Quoted(archive) + " " + Quoted(folder + "/") + " ";
  if (!p.zip) {
    return RunCommand(p, std::string("e -r2 -u3 -m1 ") + (withFolders ? "-x1" : "-x0") + " -n1 " +
                             paths + Quoted(member) + " ");
  }
  return RunCommand(p, std::string("-x -n -o ") + (withFolders ? "" : "-j ") + "--i " + paths +
                           Quoted(member + "\t") + " ");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Everything under `folder`, links not followed, as sorted relative paths.
std::vector<std::string> Contents(const std::string& folder) {
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

FixtureMember Folder(const std::string& name) {
  FixtureMember member{name};
  member.directory = true;
  return member;
}

FixtureMember Link(const std::string& name, const std::string& target) {
  FixtureMember member{name};
  member.symlinkTarget = target;
  return member;
}

TEST(PluginLoading, LibraryWithoutOneEntryLacksExactlyThatEntry) {
  ASSERT_NO_THROW(Lzh());
  ASSERT_NO_THROW(Zip());
  void* partial = OpenLibrary("libunlha32x.so");
  EXPECT_EQ(::dlsym(partial, "UnlhaGetRunning"), nullptr);
  EXPECT_NE(::dlsym(partial, "UnlhaCheckArchive"), nullptr);
  EXPECT_NE(::dlsym(partial, "Unlha"), nullptr);
  EXPECT_EQ(::dlsym(OpenLibrary("libunzip32.so"), "UnlhaCheckArchive"), nullptr);
}

TEST(PluginListing, ReportsRegularFilesOnlyInStoredOrder) {
  for (const Kind& kind : kAllKinds) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(
        archive,
        {{"b.txt", "1"}, Folder("sub/"), Link("ln", "b.txt"), {"sub/a.txt", "2"}, {"A.txt", "3"}});
    const Listing listing = List(kind.plugin(), archive);
    EXPECT_EQ(listing.names, (Names{"b.txt", "sub/a.txt", "A.txt"}));
    EXPECT_EQ(listing.end, ARCHIVER_END);
  }
}

TEST(PluginListing, NameAtByte26NeverOverrunsAndTooLongNamesAreSkipped) {
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    const std::string longest(ARCHIVER_FIND_RECORD_SIZE - ARCHIVER_NAME_OFFSET - 1, 'm');
    kind.Write(archive, {{longest, "1"}, {longest + "n", "2"}, {"last.txt", "3"}});
    const Plugin& p = kind.plugin();
    ARCHIVER_HANDLE handle = p.open(nullptr, archive.c_str(), 0);
    ASSERT_NE(handle, nullptr);
    std::vector<char> record(ARCHIVER_FIND_RECORD_SIZE + 64, '\x7F');
    ASSERT_EQ(p.findFirst(handle, "*.*", record.data()), ARCHIVER_OK);
    EXPECT_EQ(std::string(record.data() + ARCHIVER_NAME_OFFSET), longest);
    EXPECT_EQ(std::count(record.begin() + ARCHIVER_FIND_RECORD_SIZE, record.end(), '\x7F'), 64);
    ASSERT_EQ(p.findNext(handle, record.data()), ARCHIVER_OK);
    EXPECT_EQ(std::string(record.data() + ARCHIVER_NAME_OFFSET), "last.txt");
    EXPECT_EQ(p.findNext(handle, record.data()), ARCHIVER_END);
    EXPECT_EQ(p.findNext(handle, record.data()), ARCHIVER_END) << "the end stays the end";
    p.close(handle);
  }
}

TEST(PluginListing, OpenHandlesListIndependentlyAndFindFirstRestarts) {
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    kind.Write(root.path() + "/a", {{"a1", "1"}, {"a2", "2"}});
    kind.Write(root.path() + "/b", {{"b1", "1"}, {"b2", "2"}});
    const Plugin& p = kind.plugin();
    ARCHIVER_HANDLE a = p.open(nullptr, (root.path() + "/a").c_str(), 0);
    ARCHIVER_HANDLE b = p.open(nullptr, (root.path() + "/b").c_str(), 0);
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
    char record[ARCHIVER_FIND_RECORD_SIZE];
    const auto name = [&] { return std::string(record + ARCHIVER_NAME_OFFSET); };
    ASSERT_EQ(p.findFirst(a, "*.*", record), ARCHIVER_OK);
    EXPECT_EQ(name(), "a1");
    ASSERT_EQ(p.findFirst(b, "*.*", record), ARCHIVER_OK);
    EXPECT_EQ(name(), "b1");
    ASSERT_EQ(p.findNext(a, record), ARCHIVER_OK);
    EXPECT_EQ(name(), "a2");
    ASSERT_EQ(p.findFirst(a, "*.*", record), ARCHIVER_OK);
    EXPECT_EQ(name(), "a1");
    ASSERT_EQ(p.findNext(b, record), ARCHIVER_OK);
    EXPECT_EQ(name(), "b2");
    EXPECT_EQ(p.close(a), ARCHIVER_OK);
    EXPECT_EQ(p.close(b), ARCHIVER_OK);
  }
}

TEST(PluginListing, WildcardsSelectNamesAndStarDotStarTakesAll) {
  TempFolder root;
  const std::string archive = root.path() + "/a.zip";
  WriteZip(archive, {{"README", "1"}, {"a.txt", "2"}, {"b.doc", "3"}, {"ab.txt", "4"}});
  const std::vector<std::pair<const char*, Names>> cases = {
      {"*.*", {"README", "a.txt", "b.doc", "ab.txt"}},
      {"*", {"README", "a.txt", "b.doc", "ab.txt"}},
      {"*.txt", {"a.txt", "ab.txt"}},
      {"?.txt", {"a.txt"}},
      {"READ*", {"README"}},
      {"*.x", {}}};
  for (const auto& [wildcard, expected] : cases) {
    EXPECT_EQ(List(Zip(), archive, wildcard).names, expected) << wildcard;
  }
}

TEST(PluginListing, HandlesNotOpenInThisLibraryAreRefused) {
  TempFolder root;
  WriteZip(root.path() + "/a.zip", {{"a", "1"}});
  WriteStoredLzh(root.path() + "/a.lzh", {{"a", "1"}});
  ARCHIVER_HANDLE zipHandle = Zip().open(nullptr, (root.path() + "/a.zip").c_str(), 0);
  ARCHIVER_HANDLE lzhHandle = Lzh().open(nullptr, (root.path() + "/a.lzh").c_str(), 0);
  ASSERT_TRUE(zipHandle != nullptr && lzhHandle != nullptr);
  ARCHIVER_HANDLE closed = Zip().open(nullptr, (root.path() + "/a.zip").c_str(), 0);
  ASSERT_EQ(Zip().close(closed), ARCHIVER_OK);
  char record[ARCHIVER_FIND_RECORD_SIZE];
  const auto bogus = reinterpret_cast<ARCHIVER_HANDLE>(std::uintptr_t{0xDEAD0});
  const std::vector<std::pair<const Plugin*, ARCHIVER_HANDLE>> cases = {
      {&Zip(), nullptr}, {&Zip(), bogus},     {&Zip(), closed},
      {&Lzh(), nullptr}, {&Lzh(), zipHandle}, {&Zip(), lzhHandle}};
  for (const auto& [p, handle] : cases) {
    EXPECT_EQ(p->close(handle), ARCHIVER_BAD_HANDLE);
    EXPECT_EQ(p->findFirst(handle, "*.*", record), ARCHIVER_BAD_HANDLE);
    EXPECT_EQ(p->findNext(handle, record), ARCHIVER_BAD_HANDLE);
  }
  EXPECT_EQ(Zip().attribute(closed), -1);
  EXPECT_EQ(Zip().findFirst(zipHandle, "*.*", nullptr), ARCHIVER_BAD_ARGUMENT);
  EXPECT_EQ(Zip().findFirst(zipHandle, nullptr, record), ARCHIVER_BAD_ARGUMENT);
  EXPECT_EQ(Zip().open(nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(Zip().close(zipHandle), ARCHIVER_OK);
  EXPECT_EQ(Lzh().close(lzhHandle), ARCHIVER_OK);
}

TEST(PluginCheck, MagicBytesAndOneFormatDecide) {
  TempFolder root;
  const std::string zip = root.path() + "/a.zip";
  WriteZip(zip, {{"inner.txt", "x"}});
  const std::string lzh = root.path() + "/a.lzh";
  WriteStoredLzh(lzh, {{"a.txt", "x"}, {"last.zip", ReadFile(zip)}});
  std::string badLevel = ReadFile(lzh);
  badLevel[20] = 4;
  WriteZip(root.path() + "/empty.zip", {});
  ::mkfifo((root.path() + "/fifo").c_str(), 0600);
  struct Case {
    const char* label;
    std::string path;
    bool lzh;
    bool zip;
  };
  const std::vector<Case> cases = {
      {"zip", zip, false, true},
      {"lzh ending in a stored zip", lzh, true, false},
      {"lzh bytes named .zip", root.Write("lzh.zip", ReadFile(lzh)), true, false},
      {"empty lzh", root.Write("empty.lzh", std::string(1, '\0')), true, false},
      {"empty zip", root.path() + "/empty.zip", false, true},
      {"level byte 4", root.Write("level4.lzh", badLevel), false, false},
      {"magic then garbage",
       root.Write("junk.lzh", std::string("\x20\x00-lh5-", 7) + std::string(40, '\x01')), false,
       false},
      {"zip magic then garbage", root.Write("junk.zip", "PK\x03\x04" + std::string(40, 'z')), false,
       false},
      {"text", root.Write("a.txt", "PK is not enough\n"), false, false},
      {"zero bytes", root.Write("zero", ""), false, false},
      {"folder", root.path(), false, false},
      {"fifo without writer", root.path() + "/fifo", false, false},
      {"missing", root.path() + "/missing", false, false}};
  for (const Case& c : cases) {
    for (const Plugin* p : {&Lzh(), &Zip()}) {
      const bool expected = p->zip ? c.zip : c.lzh;
      EXPECT_EQ(p->check(c.path.c_str(), 0) != 0, expected)
          << c.label << (p->zip ? " zip" : " lzh");
      ARCHIVER_HANDLE handle = p->open(nullptr, c.path.c_str(), 0);
      EXPECT_EQ(handle != nullptr, expected) << c.label << " open agrees with check";
      if (handle != nullptr) p->close(handle);
    }
  }
  EXPECT_EQ(List(Lzh(), lzh).names, (Names{"a.txt", "last.zip"}));
}

TEST(PluginCheck, EmptyArchivesOpenWithoutMembers) {
  TempFolder root;
  const std::string lzh = root.Write("empty.lzh", std::string(1, '\0'));
  const std::string zip = root.path() + "/empty.zip";
  WriteZip(zip, {});
  for (const auto& [p, path] : {std::pair{&Lzh(), lzh}, std::pair{&Zip(), zip}}) {
    const Listing listing = List(*p, path);
    EXPECT_TRUE(listing.names.empty());
    EXPECT_EQ(listing.end, ARCHIVER_END);
    EXPECT_EQ(Extract(*p, path, root.path() + "/D", "a.txt", true), ARCHIVER_NO_MEMBER);
  }
}

TEST(ZipAttribute, EncryptedBitFollowsTheMemberFoundLast) {
  TempFolder root;
  const std::string archive = root.path() + "/a.zip";
  FixtureMember secret{"secret.txt", "s"};
  secret.encrypted = true;
  WriteZip(archive, {{"plain.txt", "p"}, secret, {"plain2.txt", "q"}}, "pw");
  const Listing listing = List(Zip(), archive);
  EXPECT_EQ(listing.attributes, (std::vector<int>{0, ARCHIVER_ENCRYPTED, 0}));
  ARCHIVER_HANDLE handle = Zip().open(nullptr, archive.c_str(), 0);
  EXPECT_EQ(Zip().attribute(handle), -1) << "nothing found yet";
  Zip().close(handle);
}

struct CommandCase {
  const Kind* kind;
  std::string line;  // "A" and "D" stand for the archive and the destination
  int result;
  Names files;  // what the destination holds afterwards
};

std::string Expand(std::string line, const std::string& archive, const std::string& folder) {
  for (const auto& [from, to] :
       {std::pair{"\"A\"", Quoted(archive)}, std::pair{"\"D/\"", Quoted(folder + "/")}}) {
    for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from)) {
      line.replace(at, std::strlen(from), to);
    }
  }
  return line;
}

void RunCommandCases(const std::vector<CommandCase>& cases,
                     const std::vector<FixtureMember>& members) {
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(std::string(c.kind->label) + ": " + c.line);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    const std::string folder = root.path() + "/D";
    c.kind->Write(archive, members, "pw");
    fs::create_directory(folder);
    EXPECT_EQ(RunCommand(c.kind->plugin(), Expand(c.line, archive, folder)), c.result);
    EXPECT_EQ(Contents(folder), c.files);
    EXPECT_EQ(c.kind->plugin().running(), 0);
  }
}

TEST(PluginCommandLine, IncompleteOrUnknownCommandsAreBadArguments) {
  const std::vector<CommandCase> cases = {
      {&kLzh2, "", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0 \"A\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0 \"A\" \"D/\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "d -x0 \"A\" \"D/\" m.txt", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "-x0 e \"A\" \"D/\" m.txt", ARCHIVER_BAD_ARGUMENT, {}},
      // An unclosed quote is a plain character: the member "m.txt is not there.
      {&kLzh2, "e \"A\" \"D/\" \"m.txt", ARCHIVER_NO_MEMBER, {}},
      {&kZip, "-x -n -o -j", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-x \"A\" \"D/\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-P", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-j \"A\" \"D/\" \"m.txt", ARCHIVER_NO_MEMBER, {}},
      {&kLzh2, "e \"A\" \"D/\" m.txt", ARCHIVER_OK, {"m.txt"}}};
  RunCommandCases(cases, {{"m.txt", "m"}});
  EXPECT_EQ(Lzh().command(nullptr, nullptr, nullptr, 0), ARCHIVER_BAD_ARGUMENT);
  char output[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(Zip().command(nullptr, "-j", output, sizeof output), ARCHIVER_BAD_ARGUMENT);
  EXPECT_LT(std::strlen(output), sizeof output) << "the message is cut to fit";
}

TEST(PluginCommandLine, QuotesTabsBackslashesAndDashesStayInMemberNames) {
  const std::vector<CommandCase> cases = {
      {&kLzh2,
       "e -x0 \"A\" \"D/\" \"MY \"FILE\".TXT\" \"A B.TXT\"",
       ARCHIVER_OK,
       {"A B.TXT", "MY \"FILE\".TXT"}},
      {&kLzh2,
       "e -x0 \"A\" \"D/\" -x1 back\\slash.txt q\"mid.txt",
       ARCHIVER_OK,
       {"-x1", "back\\slash.txt", "q\"mid.txt"}},
      {&kLzh2, "e -x0 \"A\" \"D/\" \"A B.TXT\"\"", ARCHIVER_NO_MEMBER, {}},
      {&kZip,
       "-x -n -o -j --i \"A\" \"D/\" -j\t \"A B.TXT\t\" \"MY \"FILE\".TXT\"",
       ARCHIVER_OK,
       {"-j", "A B.TXT", "MY \"FILE\".TXT"}},
      {&kZip, "-j \"A\" \"D/\" q\"mid.txt\t", ARCHIVER_OK, {"q\"mid.txt"}},
      // A name that starts with a quote and holds no blank is written unquoted.
      {&kLzh2, "e -x0 \"A\" \"D/\" \"lead.txt ", ARCHIVER_OK, {"\"lead.txt"}},
      {&kZip, "-j \"A\" \"D/\" back\\slash.txt\tx", ARCHIVER_NO_MEMBER, {}},
      {&kZip, "-j \"A\" \"D/\" back\\slash.txt\t\t", ARCHIVER_NO_MEMBER, {}}};
  RunCommandCases(cases, {{"MY \"FILE\".TXT", "1"},
                          {"A B.TXT", "2"},
                          {"-x1", "3"},
                          {"-j", "4"},
                          {"back\\slash.txt", "5"},
                          {"q\"mid.txt", "6"},
                          {"\"lead.txt", "7"}});
}

TEST(PluginCommandLine, PasswordSwitchTakesTheNextTokenEvenWhenEmpty) {
  FixtureMember secret{"dir/secret.txt", "s"};
  secret.encrypted = true;
  const std::vector<CommandCase> cases = {
      {&kZip, "-x -n -o -P  -j --i \"A\" \"D/\" dir/plain.txt\t ", ARCHIVER_OK, {"plain.txt"}},
      {&kZip, "-x -P \"\" -j \"A\" \"D/\" dir/plain.txt\t", ARCHIVER_OK, {"plain.txt"}},
      {&kZip, "-x -P -j \"A\" \"D/\" dir/plain.txt\t", ARCHIVER_OK, {"dir", "dir/plain.txt"}},
      {&kZip, "-x -P pw -j \"A\" \"D/\" dir/secret.txt\t* ", ARCHIVER_OK, {"secret.txt"}},
      {&kZip, "-x -P wrong -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}},
      {&kZip, "-x -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}},
      {&kZip, "-x -P  -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}}};
  RunCommandCases(cases, {{"dir/plain.txt", "p"}, secret});
}

TEST(PluginExtraction, FlatOrWithStoredFoldersAsTheSwitchesSay) {
  std::vector<CommandCase> cases = {
      {&kLzh0, "e \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kLzh1, "x \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kLzh2, "x -x0 \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kLzh2,
       "e -x1 \"A\" \"D/\" dir/sub/b.txt",
       ARCHIVER_OK,
       {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kZip, "-x \"A\" \"D/\" dir/sub/b.txt\t", ARCHIVER_OK, {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub/b.txt nope.txt", ARCHIVER_NO_MEMBER, {"b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub", ARCHIVER_NO_MEMBER, {}},
      {&kLzh2, "e \"A\" \"D/\" dir/sub/", ARCHIVER_NO_MEMBER, {}}};
  RunCommandCases(cases, {Folder("dir/sub/"), {"dir/sub/b.txt", "b"}});
}

TEST(PluginExtraction, ReplacesAFileNotAFolderAndCreatesAMissingDestination) {
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, {{"b.txt", "new"}});
    const std::string folder = root.path() + "/D";
    root.Write("D/b.txt", "old contents");
    ASSERT_EQ(Extract(kind.plugin(), archive, folder, "b.txt", false), ARCHIVER_OK);
    EXPECT_EQ(ReadFile(folder + "/b.txt"), "new");
    EXPECT_EQ(Contents(folder), Names{"b.txt"}) << "no temporary file left";
    const std::string fresh = root.path() + "/new/deeper";
    ASSERT_EQ(Extract(kind.plugin(), archive, fresh, "b.txt", false), ARCHIVER_OK);
    EXPECT_EQ(ReadFile(fresh + "/b.txt"), "new");
    fs::remove(folder + "/b.txt");
    fs::create_directories(folder + "/b.txt/in the way");
    EXPECT_EQ(Extract(kind.plugin(), archive, folder, "b.txt", false), ARCHIVER_WRITE_FAILED);
    EXPECT_EQ(Contents(folder), (Names{"b.txt", "b.txt/in the way"}));
  }
}

// The reader kept open between commands must not serve a stale position or file.
TEST(PluginExtraction, RepeatedNamesBackwardsAndChangedArchivesReadRightMember) {
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    const std::string folder = root.path() + "/D";
    kind.Write(archive, {{"same.txt", "first"}, {"other.txt", "o"}, {"same.txt", "second"}});
    const Plugin& p = kind.plugin();
    const auto extract = [&](const std::string& name) {
      EXPECT_EQ(Extract(p, archive, folder, name, false), ARCHIVER_OK);
      return ReadFile(folder + "/" + name);
    };
    EXPECT_EQ(extract("same.txt"), "first");
    EXPECT_EQ(extract("same.txt"), "second");
    EXPECT_EQ(extract("other.txt"), "o") << "behind the reader";
    EXPECT_EQ(extract("same.txt"), "second");
    EXPECT_EQ(extract("same.txt"), "first");
    kind.Write(archive + ".new", {{"same.txt", "third"}, {"other.txt", "O"}});
    fs::rename(archive + ".new", archive);
    EXPECT_EQ(extract("same.txt"), "third");
    EXPECT_EQ(extract("other.txt"), "O");
  }
}

// With its folders, a name that would leave the destination is refused; flat, only
// its last part is used, so the member is written inside it all the same.
TEST(PluginSafety, NamesThatWouldEscapeTheFolderAreRefusedWithFoldersAndFlattenedWithout) {
  const std::string absolute = "/tmp/kolbrin-plugin-escape-" + std::to_string(::getpid());
  const Names hostile = {"../x.txt", absolute, "dir/../../y.txt", "C:/z.txt", "a/./../../w.txt"};
  const Names flat = {"x.txt", absolute.substr(5), "y.txt", "z.txt", "w.txt"};
  for (const Kind& kind : {kZip, kLzh0}) {
    for (const bool withFolders : {false, true}) {
      TempFolder root;
      const std::string archive = root.path() + "/a";
      std::vector<FixtureMember> members;
      for (const std::string& name : hostile) members.push_back({name, "bad"});
      kind.Write(archive, members);
      ASSERT_EQ(List(kind.plugin(), archive).names, hostile) << kind.label;
      const std::string folder = root.path() + "/sub/D";
      fs::create_directories(folder);
      for (std::size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(Extract(kind.plugin(), archive, folder, hostile[i], withFolders),
                  withFolders ? ARCHIVER_UNSAFE_NAME : ARCHIVER_OK)
            << kind.label << " " << hostile[i];
        if (!withFolders) {
          EXPECT_EQ(ReadFile(folder + "/" + flat[i]), "bad") << hostile[i];
        }
      }
      Names written = {"D"};
      if (!withFolders) {
        for (const std::string& name : flat) written.push_back("D/" + name);
      }
      std::sort(written.begin(), written.end());
      EXPECT_EQ(Contents(root.path() + "/sub"), written) << kind.label;
      EXPECT_FALSE(fs::exists(absolute));
    }
  }
}

TEST(PluginSafety, LinksInTheArchiveOrTheDestinationAreNotFollowed) {
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string outside = root.path() + "/outside";
    const std::string folder = root.path() + "/D";
    root.Write("outside/target.txt", "keep");
    fs::create_directory(folder);
    fs::create_directory_symlink(outside, folder + "/sub");
    fs::create_symlink(outside + "/target.txt", folder + "/z.txt");
    const std::string archive = root.path() + "/a";
    kind.Write(archive,
               {Link("ln", outside), {"ln/x.txt", "x"}, {"sub/y.txt", "y"}, {"z.txt", "z"}});
    const Plugin& p = kind.plugin();
    EXPECT_EQ(List(p, archive).names, (Names{"ln/x.txt", "sub/y.txt", "z.txt"}));
    EXPECT_EQ(Extract(p, archive, folder, "ln/x.txt", true), ARCHIVER_OK);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder + "/ln")));
    EXPECT_EQ(Extract(p, archive, folder, "sub/y.txt", true), ARCHIVER_UNSAFE_NAME);
    EXPECT_EQ(Extract(p, archive, folder, "z.txt", true), ARCHIVER_OK);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder + "/z.txt")));
    EXPECT_EQ(ReadFile(folder + "/z.txt"), "z");
    EXPECT_EQ(Contents(outside), Names{"target.txt"});
    EXPECT_EQ(ReadFile(outside + "/target.txt"), "keep");
  }
}

TEST(PluginSizeCap, MemberPassingTheCapLeavesNoPartialFile) {
  constexpr std::size_t kCap = 150000;
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, {{"fits.bin", std::string(kCap, 'f')},
                         {"over.bin", std::string(kCap + 1, 'o')},
                         {"huge.bin", std::string(4 * kCap, 'h')}});
    const Plugin& p = kind.plugin();
    p.setCap(kCap);
    const std::string folder = root.path() + "/D";
    EXPECT_EQ(Extract(p, archive, folder, "fits.bin", false), ARCHIVER_OK);
    EXPECT_EQ(Extract(p, archive, folder, "over.bin", false), ARCHIVER_TOO_LARGE);
    EXPECT_EQ(Extract(p, archive, folder, "huge.bin", false), ARCHIVER_TOO_LARGE);
    p.setCap(std::uint64_t{4} << 30);
    EXPECT_EQ(Contents(folder), Names{"fits.bin"});
  }
}

// A member that would leave less free space than the reserve fails before the file
// system fills, and leaves no partial file; one that fits is written.
TEST(PluginFreeSpace, MemberThatWouldTakeTheReserveLeavesNoPartialFile) {
  TempFolder root;
  const std::string archive = root.path() + "/a";
  kZip.Write(archive, {{"small.txt", "s"}, {"big.bin", std::string(64 << 20, '\0')}});
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(root.path().c_str(), &disk), 0);
  const std::uint64_t available = std::uint64_t{disk.f_bavail} * disk.f_frsize;
  if (available < (std::uint64_t{256} << 20)) GTEST_SKIP() << "too little free space to try";
  const Plugin& p = kZip.plugin();
  // 16 MiB may be written: enough for the small member, not for the big one.
  p.setReserve(available - (std::uint64_t{16} << 20));
  const std::string folder = root.path() + "/D";
  EXPECT_EQ(Extract(p, archive, folder, "big.bin", false), ARCHIVER_WRITE_FAILED);
  EXPECT_EQ(Extract(p, archive, folder, "small.txt", false), ARCHIVER_OK);
  p.setReserve(ARCHIVER_DEFAULT_RESERVE);
  EXPECT_EQ(Contents(folder), Names{"small.txt"});
}

// Every result of every entry on a damaged archive is one of the failure codes.
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
    const std::string good = ReadFile(root.path() + "/good");
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
  std::string bytes = ReadFile(lzh);
  bytes[bytes.size() - 1 - noise.size() / 2] ^= 1;  // past the first 65,536 bytes
  root.Write("a.lzh", bytes);
  const std::string zip = root.path() + "/a.zip";
  WriteZip(zip, {{"n.bin", noise}});
  bytes = ReadFile(zip);
  bytes[bytes.size() / 2] ^= 1;
  root.Write("a.zip", bytes);
  // A method libarchive cannot decode, in an otherwise sound level-0 header.
  const std::string method = root.path() + "/lh1.lzh";
  WriteStoredLzh(method, {{"n.bin", "plain"}}, 0);
  bytes = ReadFile(method);
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

TEST(PluginNames, StoredShiftJisAndLatin1NamesListAndExtractAsUtf8) {
  const std::vector<FixtureMember> members = {
      {"\x95\x5c.txt", "1"},                           // 表: second byte is a backslash
      {"\x83\x5c\x83\x74\x83\x67/\x95\x5c.txt", "2"},  // ソフト/表
      {"\x93\xfa\x96\x7b.txt", "3"},                   // 日本
      {"caf\xc3\xa9.txt", "4"},                        // UTF-8 already
      {"caf\xe9 x.txt", "5"}};                         // neither: Latin-1
  const Names listed = {"表.txt", "ソフト/表.txt", "日本.txt", "café.txt", "café x.txt"};
  for (const Kind& kind : kAllKinds) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, members);
    const Plugin& p = kind.plugin();
    ASSERT_EQ(List(p, archive).names, listed);
    const std::string folder = root.path() + "/D";
    for (std::size_t i = 0; i < listed.size(); ++i) {
      ASSERT_EQ(Extract(p, archive, folder, listed[i], true), ARCHIVER_OK) << listed[i];
      EXPECT_EQ(ReadFile(folder + "/" + listed[i]), members[i].data);
    }
  }
}

TEST(LzhRealCompression, Lh5Lh6Lh7AtEveryHeaderLevelExtractExactly) {
  struct Fixture {
    std::string file;
    Names names;
    Names expected;
  };
  std::vector<Fixture> fixtures;
  for (const char* method : {"lh5", "lh6", "lh7"}) {
    for (const char* level : {"0", "1", "2"}) {
      fixtures.push_back({std::string(method) + "-level" + level + ".lzh",
                          {"sample.txt", "docs/notes.txt"},
                          {"sample.txt", "notes.txt"}});
    }
  }
  for (const char* level : {"0", "2"}) {
    fixtures.push_back({std::string("sjis-level") + level + ".lzh",
                        {"表.txt", "ソフト/表.txt"},
                        {"hyo.txt", "sofuto-hyo.txt"}});
  }
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.file);
    const std::string archive = FixturePath("lzh/" + f.file);
    ASSERT_EQ(List(Lzh(), archive).names, f.names);
    TempFolder root;
    for (std::size_t i = 0; i < f.names.size(); ++i) {
      ASSERT_EQ(Extract(Lzh(), archive, root.path(), f.names[i], true), ARCHIVER_OK);
      EXPECT_EQ(ReadFile(root.path() + "/" + f.names[i]),
                ReadFile(FixturePath("lzh/expected/" + f.expected[i])));
    }
  }
}

TEST(PluginScale, TwoThousandMembersExtractOneCommandEachInListedOrder) {
  std::vector<FixtureMember> members;
  Names names;
  for (int i = 0; i < 2000; ++i) {
    names.push_back("dir" + std::to_string(i % 10) + "/m" + std::to_string(i) + ".txt");
    members.push_back({names.back(), "member " + std::to_string(i) + "\n"});
  }
  for (const Kind& kind : {kZip, kLzh2}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, members);
    const Plugin& p = kind.plugin();
    ASSERT_EQ(List(p, archive).names, names);
    for (const std::string& name : names) {
      ASSERT_EQ(Extract(p, archive, root.path() + "/D", name, true), ARCHIVER_OK);
    }
    for (const FixtureMember& m : members) {
      ASSERT_EQ(ReadFile(root.path() + "/D/" + m.name), m.data);
    }
  }
}

}  // namespace
}  // namespace kolbrin::test
