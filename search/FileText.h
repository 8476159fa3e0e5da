// The text a fast scanner searches in one file, read a piece at a time: the file's
// own bytes, or their UTF-8 transcoding. The scanner sees it through a window that
// holds the piece read last and whatever it kept of the window before; the buffers
// behind the window are made once and reused for every file and every pass, so the
// memory a search needs does not grow with the file.
//
// The rules of what a file is searched as are in search/TextEncoding.h, decided in
// search/TextDecision.cpp. With automatic detection a file is taken as it stands
// while its bytes check out as UTF-8, so a UTF-8 file is read once per pass, each
// piece checked as it comes in, before the scanner sees it. When a piece shows what
// needs a closer look, the file is read through once more: at an ill-formed
// sequence for the whole decision, at an ISO-2022-JP designation for its reading
// as ISO-2022-JP (which gives up early in UTF-8 text). If the file is then to be
// decoded, the text so far was the wrong one: changed() says so, and the scan
// starts over from Rewind. The first kUtf16ProbeBytes of the file are also looked at
// for a NUL or counted control byte, a sign of UTF-16 without a byte order mark
// (whose bytes are often well-formed UTF-8); only on that sign is the file read
// through as UTF-16, once, and if it is UTF-16 the scan starts over on its decoding.
// A legacy file usually leaves one reading (CP932 or EUC-JP)
// within its first piece: the decision stops there, and the scan's own decoding
// confirms it; should the reading fail later, the file stands as it is, and the scan
// starts over once more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/FileReader.h"
#include "search/TextDecision.h"
#include "search/TextEncoding.h"
#include "search/Transcoders.h"
#include "search/Utf8Check.h"

namespace kolbrin {

class FileText {
 public:
  // The most a scanner may keep of the window at a refill.
  static constexpr std::size_t kKeptRoom = 512;

  // Reads `pieceSize` bytes of a file at a time.
  FileText(TextEncoding mode, std::size_t pieceSize);
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  // Opens the file at `path`, at the start of its text; false when it cannot be
  // read. A forced encoding is decided here, over the whole file.
  bool Open(const std::string& path);
  // Back to the start of the text, for a new pass or for the scan to start over;
  // the window is empty.
  void Rewind();
  // Drops the window's bytes before `keepFrom` (at most kKeptRoom bytes from its end
  // may be kept) and appends the text that comes next, unless atEnd(). Returns
  // `keepFrom`: each offset into the window moves down by it. A refill may add no
  // bytes (a piece holding only part of a character) without being at the end.
  std::size_t Refill(std::size_t keepFrom);

  const unsigned char* data() const { return window_; }
  std::size_t size() const { return size_; }
  // The offset in the text of the window's first byte.
  std::uint64_t start() const { return start_; }
  // The window reaches the end of the text.
  bool atEnd() const { return atEnd_; }
  // The file turned out to need decoding after its bytes had been shown as they
  // stand: what was scanned must be scanned again, from Rewind.
  bool changed() const { return changed_; }
  // The file's size when it was opened, a hint for how much text is to come.
  std::uint64_t expectedSize() const { return reader_.openedSize(); }

 private:
  static constexpr std::size_t kNotWhole = static_cast<std::size_t>(-1);
  // Decides the file's text; `wholeFileInRaw`: the size of the file when raw_ holds
  // all of it, else kNotWhole.
  void Decide(std::size_t wholeFileInRaw = kNotWhole);
  void CheckAsItStands(const unsigned char* free, std::size_t kept, std::size_t got);
  // Decides whether the file is UTF-16 without a byte order mark, as Decide would.
  void DecideUtf16(std::size_t wholeFileInRaw);
  // The reading of the file for a decision.
  ReadAt DecisionRead(std::size_t wholeFileInRaw);
  bool Allocate();

  const TextEncoding mode_;
  const std::size_t pieceSize_;
  platform::FileReader reader_;
  TextDecision decision_;
  bool undecided_ = false;   // the file's bytes are shown while they check out as UTF-8
  Utf8Stream utf8_;          // and this checks them
  bool probing_ = false;     // the file's first kUtf16ProbeBytes are being looked at
  bool utf16Tried_ = false;  // DecideUtf16 has read the file
  bool isoTried_ = false;    // the file's reading as ISO-2022-JP did not hold
  StreamDecoder decoder_;
  bool decoding_ = false;

  // The file's bytes come into raw_; decoded text into decoded_, which also serves as
  // the scratch buffer of the decision.
  std::unique_ptr<unsigned char[]> raw_;
  std::size_t rawCapacity_ = 0;
  std::unique_ptr<unsigned char[]> decoded_;
  std::size_t decodedCapacity_ = 0;

  unsigned char* window_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t start_ = 0;
  bool atEnd_ = false;
  bool changed_ = false;
};

}  // namespace kolbrin
