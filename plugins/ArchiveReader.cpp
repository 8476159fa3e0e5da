// Reading archives through libarchive: the LZH and the ZIP library with exactly
// one format enabled, the library of the other kinds with its formats and the
// compression filters built into libarchive.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <new>

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
  void Release() {
    if (locale_ != static_cast<locale_t>(nullptr)) ::freelocale(locale_);
    locale_ = static_cast<locale_t>(nullptr);
  }

 private:
  locale_t locale_;
};

// Never destroyed: the threads reading ahead may still convert names while the
// library's other statics are destroyed (at exit, or when it is unloaded), before
// the library's own state, which ends them.
// Not on the heap either, so that an unloaded library leaves nothing allocated behind.
Utf8Locale& TheUtf8Locale() {
  alignas(Utf8Locale) static unsigned char storage[sizeof(Utf8Locale)];
  static Utf8Locale* const locale = new (storage) Utf8Locale;
  return *locale;
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

using FilterSupport = int (*)(::archive*);

// The compression filters of the single compressed files and compressed tars.
constexpr std::array<FilterSupport, 6> kFilters = {
    archive_read_support_filter_gzip, archive_read_support_filter_bzip2,
    archive_read_support_filter_xz,   archive_read_support_filter_zstd,
    archive_read_support_filter_lz4,  archive_read_support_filter_compress};

// Which of kFilters libarchive decodes itself: one built without a compression
// library answers ARCHIVE_WARN and would run an outside program for it, which a
// plug-in reading hostile files must not do.
const std::array<bool, kFilters.size()>& BuiltInFilters() {
  static const std::array<bool, kFilters.size()> builtIn = [] {
    std::array<bool, kFilters.size()> found{};
    for (std::size_t i = 0; i < kFilters.size(); ++i) {
      ::archive* probe = archive_read_new();
      if (probe == nullptr) continue;
      found[i] = kFilters[i](probe) == ARCHIVE_OK;
      archive_read_free(probe);
    }
    return found;
  }();
  return builtIn;
}

// The formats of the library of the other kinds. libarchive's "raw" format takes
// any data, so it counts only behind a compression filter (see Open).
void SupportOtherKinds(::archive* archive) {
  archive_read_support_format_7zip(archive);
  archive_read_support_format_rar(archive);
  archive_read_support_format_rar5(archive);
  archive_read_support_format_tar(archive);
  archive_read_support_format_cpio(archive);
  archive_read_support_format_iso9660(archive);
  archive_read_support_format_cab(archive);
  archive_read_support_format_raw(archive);
  for (std::size_t i = 0; i < kFilters.size(); ++i) {
    if (BuiltInFilters()[i]) kFilters[i](archive);
  }
}

}  // namespace

Utf8LocaleScope::Utf8LocaleScope() {
  const locale_t utf8 = TheUtf8Locale().get();
  if (utf8 != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(utf8);
}

void ReleaseUtf8Locale() { TheUtf8Locale().Release(); }

Utf8LocaleScope::~Utf8LocaleScope() {
  if (previous_ != nullptr) ::uselocale(static_cast<locale_t>(previous_));
}

ArchiveReader::~ArchiveReader() {
  if (archive_ != nullptr) archive_read_free(archive_);
}

bool ArchiveReader::fileDeleted() const {
  struct stat now {};
  return fd_.valid() && ::fstat(fd_.get(), &now) == 0 && now.st_nlink == 0;
}

bool ArchiveReader::Open(const std::string& path, const std::string* password) {
  path_ = path;
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
  if (format_ != Format::Any && !HasMagic(format_, head, static_cast<std::size_t>(length))) {
    return false;
  }

  archive_ = archive_read_new();
  if (archive_ == nullptr) return false;
  if (format_ == Format::Any) {
    SupportOtherKinds(archive_);
  } else if (format_ == Format::Lzh) {
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
  if (firstStep_ == Step::Member && format_ == Format::Any) {
    switch (archive_format(archive_)) {
      case ARCHIVE_FORMAT_RAW:
        // Data that no filter decoded is a plain file, not a compressed one.
        if (archive_filter_count(archive_) < 2) return false;
        single_ = true;
        // libarchive names it after the gzip header's stored name, or "data".
        first_.name = SingleMemberName(path_);
        break;
      case ARCHIVE_FORMAT_RAR_V5:
        rar5Encrypted_ = Rar5EncryptedFiles(fd_.get());
        first_.encrypted = first_.encrypted || (!rar5Encrypted_.empty() && rar5Encrypted_[0]);
        break;
      default:
        break;
    }
  }
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
  // The one member of a single compressed file is its whole data: going on would
  // decompress all of it just to find the end.
  if (single_ && consumedFirst_) return Step::End;
  archive_entry* entry = nullptr;
  const int result = archive_read_next_header(archive_, &entry);
  if (result == ARCHIVE_EOF) return Step::End;
  if (result < ARCHIVE_WARN || entry == nullptr) return Step::Damaged;
  member.regular =
      archive_entry_filetype(entry) == AE_IFREG && archive_entry_hardlink(entry) == nullptr;
  member.encrypted = archive_entry_is_encrypted(entry) != 0 ||
                     (membersRead_ < rar5Encrypted_.size() && rar5Encrypted_[membersRead_]);
  ++membersRead_;
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
