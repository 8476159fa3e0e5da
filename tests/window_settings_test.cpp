// The window's settings: the tab width, the recent applications and their order.
#include <gtest/gtest.h>

#include <string>

#include "app/WindowSettings.h"
#include "platform/Profile.h"
#include "tests/TestSupport.h"

namespace kolbrin::settings {
namespace {

using platform::GetPrivateProfileString;
using platform::WritePrivateProfileString;
using test::TempFolder;

TEST(WindowSettingsTab, ParsesNarrowsAndClampsLikeTheUpDownControl) {
  TempFolder folder;
  const std::string ini = folder.path() + "/k.ini";
  EXPECT_EQ(ReadTabWidth(ini), 8) << "no file";
  const std::pair<const char*, int> cases[] = {{"12", 12},   {"abc", 8},   {"0", 1},  {"40", 16},
                                               {"0x0A", 10}, {"65537", 1}, {"-3", 1}, {"", 8}};
  for (const auto& [stored, expected] : cases) {
    ASSERT_TRUE(WritePrivateProfileString("KOLBRIN", "TAB", stored, ini));
    EXPECT_EQ(ReadTabWidth(ini), expected) << "TAB=" << stored;
  }
  ASSERT_TRUE(WriteTabWidth(ini, 5));
  EXPECT_EQ(GetPrivateProfileString("kolbrin", "tab", "", ini), "5");
}

TEST(WindowSettingsFolders, OnlyOneTurnsTheFolderSearchOn) {
  TempFolder folder;
  const std::string ini = folder.path() + "/k.ini";
  EXPECT_FALSE(ReadSearchFolders(ini)) << "no file";
  const std::pair<const char*, bool> cases[] = {{"1", true},   {"0", false},   {"2", false},
                                                {"-1", false}, {"yes", false}, {"", false}};
  for (const auto& [stored, expected] : cases) {
    ASSERT_TRUE(WritePrivateProfileString("KOLBRIN", "FOLDERS", stored, ini));
    EXPECT_EQ(ReadSearchFolders(ini), expected) << "FOLDERS=" << stored;
  }
}

TEST(WindowSettingsJobs, AnythingButAWholeNumberMeansOnePerCore) {
  TempFolder folder;
  const std::string ini = folder.path() + "/k.ini";
  EXPECT_EQ(ReadJobs(ini), 0u) << "no file";
  const std::pair<const char*, unsigned> cases[] = {{"1", 1},  {"4", 4},    {"0", 0},
                                                    {"-3", 0}, {"many", 0}, {"", 0}};
  for (const auto& [stored, expected] : cases) {
    ASSERT_TRUE(WritePrivateProfileString("KOLBRIN", "JOBS", stored, ini));
    EXPECT_EQ(ReadJobs(ini), expected) << "JOBS=" << stored;
  }
}

TEST(WindowSettingsRecentApps, SparseSlotsKeepTheirPlaces) {
  TempFolder folder;
  const std::string ini =
      folder.Write("k.ini", "[KOLBRIN]\nAPR_LIST1=/a/one\nAPR_LIST3=/c/three\n");
  EXPECT_EQ(ReadRecentApps(ini), (RecentAppSlots{"/a/one", "", "/c/three", "", ""}));
  WriteRecentApps(ini, {"/x", "", "/y", "", "/z"});
  EXPECT_EQ(ReadRecentApps(ini), (RecentAppSlots{"/x", "", "/y", "", "/z"}));
}

TEST(WindowSettingsRecentApps, SameFileNameMovesUpAndTheOldestDropsOut) {
  RecentAppSlots slots{"/a/one", "/b/two", "/c/Edit", "/d/four", "/e/five"};
  AddRecentApp(slots, "/other/EDIT");
  EXPECT_EQ(slots, (RecentAppSlots{"/other/EDIT", "/a/one", "/b/two", "/d/four", "/e/five"}));
  AddRecentApp(slots, "/new/six");
  EXPECT_EQ(slots, (RecentAppSlots{"/new/six", "/other/EDIT", "/a/one", "/b/two", "/d/four"}));
  RecentAppSlots empty;
  AddRecentApp(empty, "/bin/vi");
  EXPECT_EQ(empty, (RecentAppSlots{"/bin/vi", "", "", "", ""}));
}

}  // namespace
}  // namespace kolbrin::settings
