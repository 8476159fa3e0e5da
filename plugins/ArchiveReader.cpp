// Reading archives through libarchive with exactly one format enabled.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

constexpr std::size_t kReadBlock = 64 * 1024;
constexpr std::size_t kMagicBytes = 21;

class Utf8Locale {
 public:
  Utf8Locale() {
    locale_ = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (locale_ == static_cast<locale_t>(nullptr)) {
      locale_ = ::newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
    }
  }
  ~Utf8Locale() {
    if (locale_ != static_cast<locale_t>(nullptr)) ::freelocale(locale_);
  }
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

const Utf8Locale& TheUtf8Locale() {
  static const Utf8Locale locale;
  return locale;
}

// libarchive with both formats enabled finds the end record of a ZIP stored as the
// last member of an LZH and lists that ZIP; the leading bytes decide the format.
bool HasMagic(Format format, const unsigned char* head, std::size_t length) {
  if (format == Format::Zip) {
    return length >= 4 && head[0] == 'P' && head[1] == 'K' &&
           ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
  }
  return length >= kMagicBytes && head[2] == '-' && head[3] == 'l' &&
         (head[4] == 'h' || head[4] == 'z') && head[6] == '-' && head[20] <= 3;
}

}  // namespace

Utf8LocaleScope::Utf8LocaleScope() {
  const locale_t utf8 = TheUtf8Locale().get();
  if (utf8 != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(utf8);
}

Utf8LocaleScope::~Utf8LocaleScope() {
  if (previous_ != nullptr) ::uselocale(static_cast<locale_t>(previous_));
}

ArchiveReader::~ArchiveReader() {
  if (archive_ != nullptr) archive_read_free(archive_);
}

bool ArchiveReader::Open(const std::string& path, const std::string* password) {
  // O_NONBLOCK: a FIFO without a writer must not hang the check.
  fd_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd_.valid() || ::fstat(fd_.get(), &status_) != 0 || !S_ISREG(status_.st_mode)) return false;
  unsigned char head[kMagicBytes] = {};
  const ssize_t length = ::pread(fd_.get(), head, sizeof head, 0);
  if (length < 0) return false;
  // The empty LZH is its end mark alone, which libarchive does not recognise.
  if (format_ == Format::Lzh && status_.st_size == 1 && length == 1 && head[0] == 0) {
    emptyArchive_ = true;
    firstStep_ = Step::End;
    return true;
  }
  if (!HasMagic(format_, head, static_cast<std::size_t>(length))) return false;

  archive_ = archive_read_new();
  if (archive_ == nullptr) return false;
  if (format_ == Format::Lzh) {
    archive_read_support_format_lha(archive_);
    // Without a charset one Shift-JIS name fails the rest of the archive; Latin-1
    // never fails and keeps every stored byte as one wide character.
    if (archive_read_set_format_option(archive_, "lha", "hdrcharset", "ISO-8859-1") <
        ARCHIVE_WARN) {
      return false;
    }
  } else {
    archive_read_support_format_zip(archive_);
  }
  // libarchive refuses an empty passphrase; an empty password is no password.
  if (password != nullptr && !password->empty() &&
      archive_read_add_passphrase(archive_, password->c_str()) != ARCHIVE_OK) {
    return false;
  }
  if (archive_read_open_fd(archive_, fd_.get(), kReadBlock) != ARCHIVE_OK) return false;
  firstStep_ = Read(first_);
  return firstStep_ != Step::Damaged;
}

ArchiveReader::Step ArchiveReader::Next(Member& member) {
  if (!consumedFirst_) {
    consumedFirst_ = true;
    if (firstStep_ != Step::Member) finalStep_ = firstStep_;
    member = std::move(first_);
    return firstStep_;
  }
  // libarchive refuses further calls once it has reported the end or a failure.
  if (finalStep_ != Step::Member) return finalStep_;
  const Step step = Read(member);
  if (step != Step::Member) finalStep_ = step;
  return step;
}

ArchiveReader::Step ArchiveReader::Read(Member& member) {
  member = Member{};
  if (emptyArchive_) return Step::End;
  archive_entry* entry = nullptr;
  const int result = archive_read_next_header(archive_, &entry);
  if (result == ARCHIVE_EOF) return Step::End;
  if (result < ARCHIVE_WARN || entry == nullptr) return Step::Damaged;
  member.regular =
      archive_entry_filetype(entry) == AE_IFREG && archive_entry_hardlink(entry) == nullptr;
  member.encrypted = archive_entry_is_encrypted(entry) != 0;
  if (format_ == Format::Lzh) {
    const wchar_t* wide = archive_entry_pathname_w(entry);
    if (wide != nullptr) {
      member.name = LzhNameToUtf8(wide);
      return Step::Member;
    }
  }
  if (const char* narrow = archive_entry_pathname(entry); narrow != nullptr) {
    member.name = StoredNameToUtf8(narrow);
  } else if (const wchar_t* wide = archive_entry_pathname_w(entry); wide != nullptr) {
    member.name = WideToUtf8(wide);
  }
  return Step::Member;
}

}  // namespace kolbrin::plugin
