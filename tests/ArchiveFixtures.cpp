#include "tests/ArchiveFixtures.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace kolbrin::test {
namespace {

constexpr std::int64_t kFixtureTime = 1577836800;  // 2020-01-01 00:00:00 UTC

// The header of `member`'s entry: its name, time, kind, permissions and size.
void DescribeEntry(archive_entry* entry, const FixtureMember& member) {
  archive_entry_set_pathname(entry, member.name.c_str());
  archive_entry_set_mtime(entry, kFixtureTime, 0);
  if (member.directory) {
    archive_entry_set_filetype(entry, AE_IFDIR);
    archive_entry_set_perm(entry, 0755);
  } else if (!member.symlinkTarget.empty()) {
    archive_entry_set_filetype(entry, AE_IFLNK);
    archive_entry_set_perm(entry, 0777);
    archive_entry_set_symlink(entry, member.symlinkTarget.c_str());
  } else {
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(member.data.size()));
  }
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void PutLe16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void PutLe32(std::string& out, std::uint32_t value) {
  PutLe16(out, value & 0xFFFF);
  PutLe16(out, value >> 16);
}

std::uint32_t GetLe32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
  }
  return value;
}

void SetLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
  std::string encoded;
  PutLe32(encoded, value);
  bytes.replace(at, 4, encoded);
}

bool IsUtf8BeyondAscii(const std::string& text) {
  bool beyondAscii = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int trail = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(trail) >= text.size()) return false;
    for (int k = 1; k <= trail; ++k) {
      if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) {
        return false;
      }
    }
    beyondAscii = true;
    i += static_cast<std::size_t>(trail) + 1;
  }
  return beyondAscii;
}

// ---- ZIP ------------------------------------------------------------------------

la_ssize_t AppendToString(archive*, void* target, const void* buffer, size_t length) {
  static_cast<std::string*>(target)->append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

// libarchive sets the UTF-8 flag of a ZIP name by the locale of the writing thread,
// and takes encryption as a writer-wide option; one writer per member lets each member
// choose both.
std::string SingleMemberZip(const FixtureMember& member, const std::string& password) {
  locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) throw std::runtime_error("no C.UTF-8 locale");
  const locale_t previous = ::uselocale(IsUtf8BeyondAscii(member.name) ? utf8 : LC_GLOBAL_LOCALE);

  std::string bytes;
  archive* writer = archive_write_new();
  archive_entry* entry = archive_entry_new();
  std::string failure;
  archive_write_set_format_zip(writer);
  archive_write_set_bytes_per_block(writer, 0);  // no padding after the end record
  if (archive_write_set_options(writer, "zip:compression=deflate") != ARCHIVE_OK) {
    failure = "zip options";
  }
  if (member.encrypted && failure.empty() &&
      (archive_write_set_options(writer, "zip:encryption=zipcrypt") != ARCHIVE_OK ||
       archive_write_set_passphrase(writer, password.c_str()) != ARCHIVE_OK)) {
    failure = "zip encryption";
  }
  if (failure.empty() &&
      archive_write_open(writer, &bytes, nullptr, AppendToString, nullptr) != ARCHIVE_OK) {
    failure = "zip open";
  }
  if (failure.empty()) {
    DescribeEntry(entry, member);
    if (archive_write_header(writer, entry) != ARCHIVE_OK) {
      failure = std::string("zip header: ") + archive_error_string(writer);
    } else if (!member.data.empty() &&
               archive_write_data(writer, member.data.data(), member.data.size()) !=
                   static_cast<la_ssize_t>(member.data.size())) {
      failure = "zip data";
    } else if (archive_write_close(writer) != ARCHIVE_OK) {
      failure = "zip close";
    }
  }
  archive_entry_free(entry);
  archive_write_free(writer);
  ::uselocale(previous);
  ::freelocale(utf8);
  if (!failure.empty()) throw std::runtime_error(failure + " for " + member.name);
  return bytes;
}

constexpr std::size_t kEndRecordSize = 22;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kCentralLocalOffsetField = 42;

std::string EndRecord(std::size_t entries, std::size_t centralSize, std::size_t centralOffset) {
  std::string record;
  PutLe32(record, kEndRecordSignature);
  PutLe16(record, 0);  // this disk
  PutLe16(record, 0);  // disk of the central directory
  PutLe16(record, static_cast<unsigned>(entries));
  PutLe16(record, static_cast<unsigned>(entries));
  PutLe32(record, static_cast<std::uint32_t>(centralSize));
  PutLe32(record, static_cast<std::uint32_t>(centralOffset));
  PutLe16(record, 0);  // comment length
  return record;
}

// ---- LZH ------------------------------------------------------------------------

std::uint16_t Crc16(const std::string& bytes, std::uint16_t crc = 0) {
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
  }
  return crc;
}

unsigned char Checksum(const std::string& bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return static_cast<unsigned char>(sum & 0xFF);
}

struct LzhParts {
  std::string method;  // "-lh0-" or "-lhd-"
  std::string folder;  // folder part without the separator after it, "" if none
  std::string file;    // last part; "link|target" for a symbolic link
  unsigned mode = 0;
};

LzhParts SplitForLzh(const FixtureMember& member) {
  LzhParts parts;
  std::string name = member.name;
  if (member.directory) {
    while (!name.empty() && name.back() == '/') name.pop_back();
    parts.method = "-lhd-";
    parts.folder = name;
    parts.mode = 040755;
    return parts;
  }
  const std::size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    parts.folder = name.substr(0, slash);
    parts.file = name.substr(slash + 1);
  } else {
    parts.file = name;
  }
  if (!member.symlinkTarget.empty()) {
    parts.method = "-lhd-";
    parts.file += "|" + member.symlinkTarget;
    parts.mode = 0120777;
  } else {
    parts.method = "-lh0-";
    parts.mode = 0100644;
  }
  return parts;
}

std::string Replace(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

void PutDosTime(std::string& out) {
  PutLe16(out, 0);                                    // 00:00:00
  PutLe16(out, ((2020 - 1980) << 9) | (1 << 5) | 1);  // 2020-01-01
}

// One extended header: type, data, then the size of the header that follows.
std::string Extension(char type, const std::string& data) {
  std::string header(1, type);
  header += data;
  return header;
}

// Chains extended headers: each carries the size of the next one in its last two
// bytes, the last one zero.
std::string ChainExtensions(const std::vector<std::string>& extensions, std::string& firstSize) {
  std::string chain;
  firstSize.clear();
  PutLe16(firstSize, extensions.empty() ? 0 : static_cast<unsigned>(extensions[0].size() + 2));
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    chain += extensions[i];
    PutLe16(chain,
            i + 1 < extensions.size() ? static_cast<unsigned>(extensions[i + 1].size() + 2) : 0);
  }
  return chain;
}

std::string LzhLevel0(const FixtureMember& member, const LzhParts& parts) {
  std::string name =
      parts.folder.empty() ? parts.file : Replace(parts.folder, '/', '\\') + "\\" + parts.file;
  if (member.directory) name += "\\";
  if (name.size() > 221) throw std::runtime_error("level-0 name too long: " + member.name);
  std::string extension;
  if (!member.symlinkTarget.empty()) {  // the extension LHa for UNIX adds for its mode
    extension = "U";
    extension.push_back('\0');
    PutLe32(extension, static_cast<std::uint32_t>(kFixtureTime));
    PutLe16(extension, parts.mode);
    PutLe16(extension, 0);
    PutLe16(extension, 0);
  }
  std::string body = parts.method;
  PutLe32(body, static_cast<std::uint32_t>(member.data.size()));
  PutLe32(body, static_cast<std::uint32_t>(member.data.size()));
  PutDosTime(body);
  body.push_back(0x20);  // archive attribute
  body.push_back(0);     // header level
  body.push_back(static_cast<char>(name.size()));
  body += name;
  PutLe16(body, Crc16(member.data));
  body += extension;
  std::string header(1, static_cast<char>(body.size()));
  header.push_back(static_cast<char>(Checksum(body)));
  return header + body + member.data;
}

std::string LzhLevel1(const FixtureMember& member, const LzhParts& parts) {
  if (parts.file.size() > 230) throw std::runtime_error("level-1 name too long: " + member.name);
  std::vector<std::string> extensions;
  if (!parts.folder.empty()) {
    extensions.push_back(Extension(0x02, Replace(parts.folder, '/', '\xFF') + "\xFF"));
  }
  std::string mode;
  PutLe16(mode, parts.mode);
  extensions.push_back(Extension(0x50, mode));
  std::string firstSize;
  const std::string chain = ChainExtensions(extensions, firstSize);

  std::string body = parts.method;
  PutLe32(body, static_cast<std::uint32_t>(chain.size() + member.data.size()));  // skip size
  PutLe32(body, static_cast<std::uint32_t>(member.data.size()));
  PutDosTime(body);
  body.push_back(0x20);
  body.push_back(1);
  body.push_back(static_cast<char>(parts.file.size()));
  body += parts.file;
  PutLe16(body, Crc16(member.data));
  body.push_back('U');
  body += firstSize;
  std::string header(1, static_cast<char>(body.size()));
  header.push_back(static_cast<char>(Checksum(body)));
  return header + body + chain + member.data;
}

std::string LzhLevel2(const FixtureMember& member, const LzhParts& parts) {
  std::vector<std::string> extensions;
  extensions.push_back(Extension(0x00, std::string(2, '\0')));  // header CRC, filled below
  if (!parts.file.empty()) extensions.push_back(Extension(0x01, parts.file));
  if (!parts.folder.empty()) {
    extensions.push_back(Extension(0x02, Replace(parts.folder, '/', '\xFF') + "\xFF"));
  }
  std::string mode;
  PutLe16(mode, parts.mode);
  extensions.push_back(Extension(0x50, mode));
  std::string firstSize;
  const std::string chain = ChainExtensions(extensions, firstSize);

  std::string header;
  PutLe16(header, 0);  // total size, filled below
  header += parts.method;
  PutLe32(header, static_cast<std::uint32_t>(member.data.size()));
  PutLe32(header, static_cast<std::uint32_t>(member.data.size()));
  PutLe32(header, static_cast<std::uint32_t>(kFixtureTime));
  header.push_back(0x20);
  header.push_back(2);
  PutLe16(header, Crc16(member.data));
  header.push_back('U');
  header += firstSize;
  header += chain;
  // A header starting with a zero byte would read as the end of the archive.
  if ((header.size() & 0xFF) == 0) header.push_back('\0');
  if (header.size() > 0xFFFF) throw std::runtime_error("level-2 header too long: " + member.name);
  header[0] = static_cast<char>(header.size() & 0xFF);
  header[1] = static_cast<char>(header.size() >> 8);
  const std::uint16_t headerCrc = Crc16(header);
  constexpr std::size_t kHeaderCrcAt = 26 + 1;  // fixed part, then the CRC header's type
  header[kHeaderCrcAt] = static_cast<char>(headerCrc & 0xFF);
  header[kHeaderCrcAt + 1] = static_cast<char>(headerCrc >> 8);
  return header + member.data;
}

// ---- tar.gz and 7z ---------------------------------------------------------------

// One libarchive writer for every member, the entry filled in as for a ZIP member.
void WriteWithLibarchive(const std::string& path, const std::vector<FixtureMember>& members,
                         bool sevenZip) {
  // The 7z writer converts names to UTF-16 by the thread's locale; tar keeps bytes.
  locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) throw std::runtime_error("no C.UTF-8 locale");
  const locale_t previous = ::uselocale(utf8);
  archive* writer = archive_write_new();
  std::string failure;
  if (sevenZip) {
    archive_write_set_format_7zip(writer);
  } else {
    archive_write_set_format_gnutar(writer);
    archive_write_add_filter_gzip(writer);
  }
  if (archive_write_open_filename(writer, path.c_str()) != ARCHIVE_OK) failure = "open";
  for (const FixtureMember& member : members) {
    if (!failure.empty()) break;
    archive_entry* entry = archive_entry_new();
    DescribeEntry(entry, member);
    if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
      failure = std::string("header: ") + archive_error_string(writer);
    } else if (!member.data.empty() &&
               archive_write_data(writer, member.data.data(), member.data.size()) !=
                   static_cast<la_ssize_t>(member.data.size())) {
      failure = "data";
    }
    archive_entry_free(entry);
  }
  if (archive_write_close(writer) != ARCHIVE_OK && failure.empty()) failure = "close";
  archive_write_free(writer);
  ::uselocale(previous);
  ::freelocale(utf8);
  if (!failure.empty()) throw std::runtime_error(failure + " writing " + path);
}

}  // namespace

void WriteZip(const std::string& path, const std::vector<FixtureMember>& members,
              const std::string& password) {
  std::string locals;
  std::string central;
  for (const FixtureMember& member : members) {
    const std::string single = SingleMemberZip(member, password);
    if (single.size() < kEndRecordSize ||
        GetLe32(single, single.size() - kEndRecordSize) != kEndRecordSignature) {
      throw std::runtime_error("unexpected ZIP layout for " + member.name);
    }
    const std::size_t size = GetLe32(single, single.size() - 10);
    const std::size_t offset = GetLe32(single, single.size() - 6);
    if (offset + size + kEndRecordSize != single.size() ||
        GetLe32(single, offset) != kCentralSignature) {
      throw std::runtime_error("unexpected ZIP central directory for " + member.name);
    }
    std::string entry = single.substr(offset, size);
    SetLe32(entry, kCentralLocalOffsetField,
            static_cast<std::uint32_t>(GetLe32(entry, kCentralLocalOffsetField) + locals.size()));
    locals += single.substr(0, offset);
    central += entry;
  }
  if (members.size() > 0xFFFF || locals.size() + central.size() > 0xFFFFFFFFu) {
    throw std::runtime_error("too large for a ZIP without Zip64 records: " + path);
  }
  WriteFile(path, locals + central + EndRecord(members.size(), central.size(), locals.size()));
}

void WriteStoredLzh(const std::string& path, const std::vector<FixtureMember>& members,
                    int headerLevel) {
  std::string archive;
  for (const FixtureMember& member : members) {
    const LzhParts parts = SplitForLzh(member);
    switch (headerLevel) {
      case 0:
        archive += LzhLevel0(member, parts);
        break;
      case 1:
        archive += LzhLevel1(member, parts);
        break;
      case 2:
        archive += LzhLevel2(member, parts);
        break;
      default:
        throw std::runtime_error("LZH header level must be 0, 1 or 2");
    }
  }
  archive.push_back('\0');  // end of the archive
  WriteFile(path, archive);
}

void WriteTarGz(const std::string& path, const std::vector<FixtureMember>& members) {
  WriteWithLibarchive(path, members, false);
}

void WriteSevenZip(const std::string& path, const std::vector<FixtureMember>& members) {
  WriteWithLibarchive(path, members, true);
}

std::string Gzipped(const std::string& data) {
  std::string bytes;
  archive* writer = archive_write_new();
  archive_entry* entry = archive_entry_new();
  archive_write_set_format_raw(writer);
  archive_write_add_filter_gzip(writer);
  archive_write_set_bytes_per_block(writer, 0);
  bool written = archive_write_open(writer, &bytes, nullptr, AppendToString, nullptr) == ARCHIVE_OK;
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
  written = written && archive_write_header(writer, entry) == ARCHIVE_OK &&
            (data.empty() || archive_write_data(writer, data.data(), data.size()) ==
                                 static_cast<la_ssize_t>(data.size())) &&
            archive_write_close(writer) == ARCHIVE_OK;
  archive_entry_free(entry);
  archive_write_free(writer);
  if (!written) throw std::runtime_error("gzip writing failed");
  return bytes;
}

std::string FixturePath(const std::string& relative) {
#ifdef KOLBRIN_FIXTURES
  const std::string folder = KOLBRIN_FIXTURES;
#else  // a tool built without the tests' definitions: the fixtures beside this file
  const std::string file = __FILE__;
  const std::string folder = file.substr(0, file.rfind('/') + 1) + "fixtures";
#endif
  return folder + "/" + relative;
}

}  // namespace kolbrin::test
