#include "app/WindowSettings.h"

#include <algorithm>
#include <cstdint>

#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace kolbrin::settings {

using platform::FileNameOf;
using platform::GetPrivateProfileInt;
using platform::GetPrivateProfileString;
using platform::UpperCaseText;
using platform::WritePrivateProfileString;
namespace {

std::string SlotKey(std::size_t index) { return "APR_LIST" + std::to_string(index + 1); }

}  // namespace

int ReadTabWidth(const std::string& settingsPath) {
  const int stored = GetPrivateProfileInt(kSettingsSection, "TAB", kDefaultTabWidth, settingsPath);
  const auto narrowed = static_cast<std::int16_t>(static_cast<std::uint16_t>(stored));
  return std::clamp<int>(narrowed, kMinTabWidth, kMaxTabWidth);
}

bool WriteTabWidth(const std::string& settingsPath, int tabWidth) {
  return WritePrivateProfileString(kSettingsSection, "TAB", std::to_string(tabWidth), settingsPath);
}

std::string ReadEncodingName(const std::string& settingsPath) {
  return GetPrivateProfileString(kSettingsSection, "ENCODING", "auto", settingsPath);
}

bool ReadSearchFolders(const std::string& settingsPath) {
  return GetPrivateProfileInt(kSettingsSection, "FOLDERS", 0, settingsPath) == 1;
}

unsigned ReadJobs(const std::string& settingsPath) {
  const int stored = GetPrivateProfileInt(kSettingsSection, "JOBS", 0, settingsPath);
  return stored < 0 ? 0u : static_cast<unsigned>(stored);
}

RecentAppSlots ReadRecentApps(const std::string& settingsPath) {
  RecentAppSlots slots;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    slots[i] = GetPrivateProfileString(kSettingsSection, SlotKey(i), "", settingsPath);
  }
  return slots;
}

void WriteRecentApps(const std::string& settingsPath, const RecentAppSlots& slots) {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    WritePrivateProfileString(kSettingsSection, SlotKey(i), slots[i], settingsPath);
  }
}

void AddRecentApp(RecentAppSlots& slots, const std::string& application) {
  const std::string key = UpperCaseText(FileNameOf(application));
  auto found = std::find_if(slots.begin(), slots.end(), [&](const std::string& slot) {
    return UpperCaseText(FileNameOf(slot)) == key;
  });
  // Not found: the last slot is the one that drops out.
  if (found == slots.end()) found = slots.end() - 1;
  std::rotate(slots.begin(), found, found + 1);
  slots.front() = application;
}

}  // namespace kolbrin::settings
