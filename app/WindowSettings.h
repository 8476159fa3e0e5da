// What the main window keeps in its settings file (section "KOLBRIN"): the tab
// width, the text encoding of searches, whether a dropped folder is searched, and
// the five recently used applications.
// The window's own rules, over platform/'s profile functions; no Qt here, so all
// of it is built and tested without a window.
#pragma once

#include <array>
#include <string>

namespace kolbrin::settings {

inline constexpr char kSettingsSection[] = "KOLBRIN";
inline constexpr int kDefaultTabWidth = 8;
inline constexpr int kMinTabWidth = 1;
inline constexpr int kMaxTabWidth = 16;

// Key "TAB", default 8, narrowed to 16 bits and brought into 1..16 as the up-down
// control does with it.
int ReadTabWidth(const std::string& settingsPath);
// False when the write failed; the file then keeps its old value.
bool WriteTabWidth(const std::string& settingsPath, int tabWidth);

// Key "ENCODING" as it stands, "auto" when missing. Only read, never written. The
// name is given raw because the encodings are known above this layer, which
// parses it (an unknown name meaning "auto").
std::string ReadEncodingName(const std::string& settingsPath);

// Key "FOLDERS": 1 makes a dropped folder stand for every regular file below it;
// 0, a missing key or any other value leaves folders skipped. Only read.
bool ReadSearchFolders(const std::string& settingsPath);

// Key "JOBS": how many files a search scans at once (TGrep::Jobs); 0, a missing
// key, a negative or unreadable value mean one per core, 1 the single worker. Only
// read.
unsigned ReadJobs(const std::string& settingsPath);

// Slot 1 (index 0) is the most recently used application; an empty text is an
// empty slot.
using RecentAppSlots = std::array<std::string, 5>;

// Keys APR_LIST1 to APR_LIST5; a missing key is an empty slot.
RecentAppSlots ReadRecentApps(const std::string& settingsPath);
// Writes every key on its own: one that fails is skipped, the others are written.
void WriteRecentApps(const std::string& settingsPath, const RecentAppSlots& slots);

// Records `application` as the most recently used one: an entry of the same file
// name (without regard to case) moves to slot 1 and takes the new path; otherwise
// the new path enters at slot 1 and the least recently used one drops out.
void AddRecentApp(RecentAppSlots& slots, const std::string& application);

}  // namespace kolbrin::settings
