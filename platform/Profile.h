// The program's settings file, read and written with the semantics of Windows
// private profiles (INI files): "[section]" headers, "key=value" lines, names that
// match without regard to ASCII case, and writes that change one key and leave
// every other line alone. Also where that file lives.
//
// No state is kept between calls: every call reads the file afresh, and every
// function may be called from any thread. Two writers of one file at the same time
// never tear it, but one of the two updates may be lost.
#pragma once

#include <cstddef>
#include <string>

namespace kolbrin::platform {

// The longest value a read returns, in bytes; longer values are cut.
inline constexpr std::size_t kMaxProfileValueBytes = 2047;

// The value of `key` in `section` of `file`. `defaultValue` when the file (or what
// is there is not a readable regular file), the section or the key is missing.
// Names are trimmed of blanks and TABs and match without regard to ASCII case; the
// first matching key line wins. The value is trimmed of surrounding blanks and
// TABs, loses one pair of surrounding double quotes, and is cut to
// kMaxProfileValueBytes bytes (a multi-byte character at the cut is cut too).
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file);

// The value read as GetPrivateProfileString does, as an integer: decimal with an
// optional leading '-' that fits an int, or "0x"/"0X" and hexadecimal digits whose
// value fits 32 bits, taken as a bit pattern (0xFFFFFFFF is -1). `defaultValue`
// when the key is missing, or the value is empty, not wholly a number, or too large.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file);

// Sets `key` in `section` of `file` to `value`, written as given: the first
// matching key line of the section gets the new value, else the key is added
// after the section's last key line, else "[section]" and the key are added at the
// end; the file is created when missing. Every other line keeps its bytes; new
// lines end like the file's first line (LF when it has none), and a last line
// without a line end gets one. The new contents are written to a temporary file
// in the same folder, flushed to disk and renamed over the old one, which keeps
// its permission bits (0644 for a new file); a symbolic link is followed and its
// target replaced. False, with the file untouched and no temporary file left,
// when anything fails: the folder is missing or not writable, the disk is full,
// the path is not a regular file, or a name or the value holds a line break, or
// the key is empty, holds '=' or begins with ';' or '[', or the section holds ']'
// (names that could not be read back).
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

// The settings file beside the program at `programPath`: the path with its
// extension (from the last '.' after the last '/') replaced by ".ini", or with
// ".ini" appended when the name has none. "/opt/k/kolbrin" gives
// "/opt/k/kolbrin.ini". Pure text; never fails.
std::string SettingsPathBeside(const std::string& programPath);

// The settings file to use: SettingsPathBeside(programPath), unless that file does
// not exist and the program's folder is not writable or the program is installed
// (its installed plug-in folder, see InstalledPluginFolder, exists); then
// $XDG_CONFIG_HOME/kolbrin/kolbrin.ini, or $HOME/.config/kolbrin/kolbrin.ini when
// XDG_CONFIG_HOME is unset, empty, not absolute or unusable (a file, say). The
// folders are created, mode 0700, when missing. When neither can be had (no HOME,
// nothing creatable) the result is empty: no settings are read or kept, rather
// than a file written beside a program that is not the user's.
std::string ResolveSettingsPath(const std::string& programPath);

// ResolveSettingsPath with the writability of the program's folder given instead
// of tested; for tests, as every folder is writable to root.
std::string ResolveSettingsPath(const std::string& programPath, bool programFolderWritable);

}  // namespace kolbrin::platform
