// The fast scanner: the plain scanner's results, step for step, from bulk searches.
// Between events (candidates that may match, and control bytes while the pass is
// text) it skips with vector compares, counting line feeds on the way; the text of
// the current line, which the plain scanner keeps byte by byte, is rebuilt from the
// window only when a text hit needs it.
//
// The file comes in a piece at a time through FileText's window. What must outlive a
// refill is carried over by name: the bytes a compare window may need after the last
// examined byte (kLookahead: the window is refilled before the scan gets closer to
// its end), and the held line, the first bytes of a line that began before the
// window. A hit's line that runs past the window is read on through refills.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/Text.h"
#include "search/FileText.h"
#include "search/HitEntry.h"
#include "search/SameCharacters.h"
#include "search/ScanKernels.h"
#include "search/ScanPass.h"

namespace kolbrin {
namespace {

constexpr unsigned char AsciiLower(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b;
}

// The bytes after an examined byte that its compare window, and the last-byte test
// of the bulk searches, may read: the active string's length - 1, or the longest
// text a string with characters in either mapping matches, less its first byte.
constexpr std::size_t kLookahead = 384;
static_assert(kLookahead >= kLongestMappedMatch - 1 && kLookahead >= 254);
static_assert(kLookahead <= FileText::kKeptRoom);

class FastScanner final : public ScanPass {
 public:
  FastScanner(const SearchSettings& settings, VectorWidth width, std::size_t pieceSize)
      : ScanPass(settings), width_(width), Text(settings.Encoding, pieceSize) {
    ResetForFile();
  }

 private:
  bool Load(const std::string& path) override { return Text.Open(path); }

  void ResetPosition() override {
    Text.Rewind();
    Position = 0;
    LineStart = 0;
    lineHeld_ = false;
    heldLength_ = 0;
  }

  void PatternChanged() override;
  bool ScanChunk(std::uint32_t limit) override;
  void RefillForScan();
  std::size_t RefillKeeping(std::size_t keepFrom);

  bool IsCandidate(unsigned char b) const {
    return PatternLength != 0 && (b == first_ || b == firstOther_);
  }

  void ExamineByte();
  // Out of line: the scan of a string without such characters does not carry it.
  [[gnu::noinline]] void MatchMapped(std::size_t offset);
  bool TextEqual(const unsigned char* text, std::size_t offset, std::size_t available) const;
  bool ExactTextEqual(const unsigned char* text, std::size_t offset, std::size_t available) const;
  void MakeTextHit(std::size_t offset, std::size_t window, std::size_t available);
  void MakeBinaryHit(const unsigned char* text, std::size_t offset);
  void MakeRoomForEntry(std::uint64_t offset);

  const VectorWidth width_;
  // The text searched, as far as read: the file's bytes, or their UTF-8 transcoding.
  FileText Text;
  unsigned char lowerPattern_[256] = {};
  bool patternAscii_ = true;
  bool patternCaseless_ = false;  // not ASCII, and equal only to its own bytes
  unsigned char first_ = 0;       // a candidate's byte ...
  unsigned char firstOther_ = 0;  // ... or this one (the other case of a letter, or
                                  // in a text pass the first character's other mapping)
  unsigned char asciiOther_ = 0;  // the other case of a first letter alone
  // The active string, when a text pass finds characters of it in either mapping.
  MappedString mapped_;
  // What the bulk searches stop at: while the pass is text (with control bytes),
  // and once it is binary.
  CandidateBytes textEvents_;
  CandidateBytes binaryCandidates_;
  // The text pass's 32-byte skipper; null for 16-byte vectors.
  QuietBlockSkipper wideSkipper_ = nullptr;

  // The pass, in offsets into the window: Position is the next offset to examine
  // (the plain scanner's read position and offset at the top of its loop, less the
  // window's start). LineStart is where the current line began as far as examined
  // events and hits tell; line feeds skipped in bulk are not tracked, so a text hit
  // looks back from itself to the last one.
  std::size_t Position = 0;
  std::size_t LineStart = 0;
  // The held line: when the line at LineStart began before the window (LineStart is
  // then 0), its first bytes without CRs, as many as a hit's line can show.
  bool lineHeld_ = false;
  std::size_t heldLength_ = 0;
  unsigned char heldLine_[kLineCapacity] = {};
};

void FastScanner::PatternChanged() {
  patternAscii_ = true;
  for (std::size_t k = 0; k < PatternLength; ++k) {
    lowerPattern_[k] = AsciiLower(Pattern[k]);
    if (Pattern[k] >= 0x80) patternAscii_ = false;
  }
  // Japanese words have no case: with case ignored they are still found only as
  // their own bytes, so they are compared, and skipped to, as with case kept.
  patternCaseless_ = !patternAscii_ && platform::MatchesOnlyItself(std::string_view(
                                           reinterpret_cast<const char*>(Pattern), PatternLength));
  // Without a pattern there are no candidates; NUL then stands in for the first byte,
  // as it is a control byte and so an event of the text scan anyway.
  first_ = PatternLength != 0 ? Pattern[0] : 0;
  asciiOther_ = (!settings_.CaseSensitive && IsAsciiLetter(first_)) ? first_ ^ 0x20 : first_;
  firstOther_ = asciiOther_;
  mapped_.Assign(Pattern, PatternLength);
  if (!mapped_.empty() && mapped_.OtherFirstByte() != first_) {
    firstOther_ = mapped_.OtherFirstByte();
  }

  LastByteTest textTest;
  LastByteTest binaryTest;
  if (PatternLength >= 2) {
    const unsigned char last = Pattern[PatternLength - 1];
    // Binary compares, and case-kept text compares, are exact.
    binaryTest = LastByteTest{true, last, last};
    if (!mapped_.empty()) {
      // The last character, or one before it, may match in a mapping of another
      // length: the last byte of a match has no fixed place.
    } else if (settings_.CaseSensitive || patternCaseless_) {
      textTest = binaryTest;
    } else if (patternAscii_) {
      // Folding maps each character to one character and compares bytes that are not
      // UTF-8 singly, so a window of at most PatternLength bytes equals an ASCII
      // pattern only as PatternLength single bytes, each the pattern's in either case.
      const unsigned char other = IsAsciiLetter(last) ? last ^ 0x20 : last;
      textTest = LastByteTest{true, last, other};
    }
    // A pattern with other characters may match a window of another byte length.
  }
  textEvents_ = CandidateBytes{first_, firstOther_, textTest, textTest.on ? PatternLength - 1 : 0};
  binaryCandidates_ =
      CandidateBytes{first_, asciiOther_, binaryTest, binaryTest.on ? PatternLength - 1 : 0};
  wideSkipper_ = ChooseQuietBlockSkipper(textEvents_, width_);
}

// One call examines limit + 1 bytes, or the rest of the pass when that is fewer (then
// it returns true). Bytes read for a compare window or for the rest of a hit's line
// are not examined, so they do not count.
bool FastScanner::ScanChunk(std::uint32_t limit) {
  std::uint64_t budget = std::uint64_t{limit} + 1;
  for (;;) {
    // A file that turned out to need decoding: only the first pass can have run,
    // over the wrong text, and it starts again.
    if (Text.changed()) RestartFile();
    const unsigned char* const text = Text.data();
    const std::size_t size = Text.size();
    // Bytes closer to the window's end than kLookahead wait for the next piece.
    std::size_t examinable = size;
    if (!Text.atEnd()) examinable = size > kLookahead ? size - kLookahead : 0;
    if (Position >= examinable) {
      if (Text.atEnd()) return true;
      RefillForScan();
      continue;
    }
    const std::size_t end = examinable - Position > budget ? Position + budget : examinable;
    std::size_t event;
    if (!IsBinary) {
      std::uint64_t lineFeeds = 0;
      event = FindTextEvent(text, size, Position, end, textEvents_, wideSkipper_, lineFeeds);
      LineNo += static_cast<std::int64_t>(lineFeeds);
    } else if (PatternLength != 0) {
      event = FindCandidate(text, size, Position, end, binaryCandidates_);
    } else {
      event = end;  // nothing left that could show
    }
    budget -= event - Position;
    Position = event;
    if (event == end) {
      if (budget == 0) return false;
      continue;
    }
    ExamineByte();
    if (--budget == 0) return false;
  }
}

// Before the window moves on past the examined bytes: the current line's first bytes
// are held, as a text hit later in the line shows them. A binary pass shows no lines.
void FastScanner::RefillForScan() {
  if (IsBinary) {
    RefillKeeping(Position);
    return;
  }
  const unsigned char* const text = Text.data();
  if (Position > LineStart) {
    const void* lastFeed = ::memrchr(text + LineStart, '\n', Position - LineStart);
    if (lastFeed != nullptr) {
      LineStart = static_cast<std::size_t>(static_cast<const unsigned char*>(lastFeed) - text) + 1;
      lineHeld_ = false;
    }
  }
  if (!lineHeld_) heldLength_ = 0;
  for (std::size_t q = LineStart; q < Position && heldLength_ < kLineCapacity; ++q) {
    if (text[q] != '\r') heldLine_[heldLength_++] = text[q];
  }
  lineHeld_ = true;
  RefillKeeping(Position);
  LineStart = 0;
}

// Refills the window keeping it from `keepFrom` on; the offsets into it move down.
std::size_t FastScanner::RefillKeeping(std::size_t keepFrom) {
  const std::size_t dropped = Text.Refill(keepFrom);
  Position -= std::min(Position, dropped);
  LineStart -= std::min(LineStart, dropped);
  return dropped;
}

// The plain scanner's loop body for the byte at Position.
// The window holds kLookahead bytes after it, or the rest of the text.
void FastScanner::ExamineByte() {
  const unsigned char* const text = Text.data();
  const std::size_t size = Text.size();
  const std::size_t offset = Position;
  const unsigned char b = text[offset];
  Position = offset + 1;

  if (!IsBinary && IsCountedControl(b)) CountControl();
  if (b == '\n') {
    ++LineNo;
    LineStart = offset + 1;
    lineHeld_ = false;
  }
  if (!IsCandidate(b)) return;
  if (!mapped_.empty()) {
    MatchMapped(offset);
    return;
  }

  // The compare window is the candidate and the PatternLength - 1 bytes after it, as
  // far as the text goes; the plain scanner pads it with zero bytes.
  const std::size_t available = std::min(PatternLength - 1, size - (offset + 1));
  bool equal;
  if (settings_.CaseSensitive || IsBinary) {
    // The candidate test has already matched the first byte, in either ASCII case
    // when case is ignored; the rest must match exactly. A short window cannot, as
    // the pattern holds no zero byte.
    equal = available == PatternLength - 1 &&
            std::memcmp(text + offset + 1, Pattern + 1, PatternLength - 1) == 0;
  } else {
    equal = TextEqual(text, offset, available);
  }
  if (!equal) return;  // the scan resumes at the byte after the candidate

  if (IsBinary) {
    MakeBinaryHit(text, offset);
  } else {
    MakeTextHit(offset, PatternLength - 1, available);
  }
}

// A candidate for a string with characters found in either mapping. A text pass
// matches the text, whose length may differ from the string's; a binary pass
// compares bytes exactly, from a first byte of the string's own.
void FastScanner::MatchMapped(std::size_t offset) {
  const unsigned char* const text = Text.data();
  const std::size_t size = Text.size();
  if (IsBinary) {
    const unsigned char b = text[offset];
    if ((b == first_ || b == asciiOther_) && size - (offset + 1) >= PatternLength - 1 &&
        std::memcmp(text + offset + 1, Pattern + 1, PatternLength - 1) == 0) {
      MakeBinaryHit(text, offset);
    }
    return;
  }
  const std::size_t matched = mapped_.Match(text + offset, size - offset, settings_.CaseSensitive);
  if (matched != 0) MakeTextHit(offset, matched - 1, matched - 1);
}

// The text compare of the window at `offset` with the pattern, case ignored.
bool FastScanner::TextEqual(const unsigned char* text, std::size_t offset,
                            std::size_t available) const {
  if (!patternAscii_) {
    // Identical bytes are identical text; anything else takes the full comparison,
    // unless the pattern has no case.
    if (available == PatternLength - 1 && text[offset] == Pattern[0] &&
        std::memcmp(text + offset + 1, Pattern + 1, available) == 0) {
      return true;
    }
    return !patternCaseless_ && ExactTextEqual(text, offset, available);
  }
  // An ASCII pattern: the candidate matched the first byte in either case. Folding
  // goes unit by unit and keeps ASCII bytes ASCII, so while the window is ASCII too,
  // an ASCII case-insensitive compare gives the comparison's answer; a zero byte (or
  // the end of the text) ends the window's text short of the pattern.
  for (std::size_t k = 1; k < PatternLength; ++k) {
    const unsigned char w = k <= available ? text[offset + k] : 0;
    if (AsciiLower(w) == lowerPattern_[k]) continue;
    if (w < 0x80) return false;
    return ExactTextEqual(text, offset, available);
  }
  return true;
}

// The plain scanner's comparison, literally: the window up to its first zero byte
// against the pattern, as text without regard to case.
bool FastScanner::ExactTextEqual(const unsigned char* text, std::size_t offset,
                                 std::size_t available) const {
  char window[256] = {};
  std::memcpy(window, text + offset, available + 1);
  const std::string_view windowText(window, ::strnlen(window, 255));
  const std::string_view patternText(reinterpret_cast<const char*>(Pattern), PatternLength);
  return platform::CompareTextIgnoreCase(windowText, patternText) == 0;
}

void FastScanner::MakeBinaryHit(const unsigned char* text, std::size_t offset) {
  // An exact match: the window is the candidate byte and the rest of the pattern,
  // none of them zero.
  Position = offset + PatternLength;
  char entry[kMaxHitHeadLength + 256];
  const std::uint64_t hitOffset = Text.start() + offset;
  char* out = WriteBinaryHead(WriteSortPrefix(entry, hitOffset), hitOffset);
  std::memcpy(out, text + offset, PatternLength);
  out += PatternLength;
  MakeRoomForEntry(hitOffset);
  Results_.push_back(std::string_view(entry, static_cast<std::size_t>(out - entry)));
}

// A text hit at `offset` with its window matched: the line so far, the window raw
// (the candidate and `window` bytes after it, of which `available` are in the text),
// then the rest of the line, which is consumed. The entry is written straight into
// the results: the sort prefix and the node's head, then the line, which is the rest
// of the text unless it holds a TAB.
void FastScanner::MakeTextHit(std::size_t offset, std::size_t window, std::size_t available) {
  const unsigned char* text = Text.data();
  std::size_t size = Text.size();
  const std::uint64_t hitOffset = Text.start() + offset;
  constexpr std::size_t kVectorSlack = 16;  // whole vectors may be stored
  char* const entry = Results_.Reserve(kMaxHitHeadLength + kLineCapacity + kVectorSlack);
  char* const head = WriteLineHead(WriteSortPrefix(entry, hitOffset), LineNo);
  const auto headLength = static_cast<std::size_t>(head - entry);
  unsigned char* const line = reinterpret_cast<unsigned char*>(head);
  std::size_t length = 0;

  // The examined bytes of the line up to the candidate, CRs left out (each is
  // overwritten by the next byte), the first kLineCapacity of them: those held from
  // before the window, if the line began there, then those in the window.
  std::size_t start = LineStart;
  if (start <= offset) {
    bool held = lineHeld_;
    const void* lastFeed = ::memrchr(text + start, '\n', offset - start);
    if (lastFeed != nullptr) {
      start = static_cast<std::size_t>(static_cast<const unsigned char*>(lastFeed) - text) + 1;
      held = false;
    }
    if (held) {
      std::memcpy(line, heldLine_, heldLength_);
      length = heldLength_;
    }
    const std::size_t before = std::min<std::size_t>(offset + 1 - start, kLineCapacity - length);
    if (std::memchr(text + start, '\r', before) == nullptr) {
      std::memcpy(line + length, text + start, before);
      length += before;
    } else {
      for (std::size_t q = start; q <= offset && length < kLineCapacity; ++q) {
        if (text[q] != '\r') line[length++] = text[q];
      }
    }
  }

  // The compare window's other bytes go in as they are, CRs and line feeds included;
  // past the end of the text it holds zero bytes.
  for (std::size_t k = 1; k <= window && length < kLineCapacity; ++k) {
    line[length++] = k <= available ? text[offset + k] : 0;
  }
  std::size_t next = offset + 1 + available;

  // The rest of the line: up to a line feed, or a control byte (ESC too), which
  // makes the rest of the pass binary; both are consumed. CRs are skipped. A line
  // that runs past the window is read on through refills; a file that turns out to
  // need decoding ends it, as the scan starts over without it.
  for (;;) {
    if (next == size) {
      if (Text.atEnd() || Text.changed()) break;
      next -= RefillKeeping(next);
      text = Text.data();
      size = Text.size();
      continue;
    }
    next = CopyToLowByte(text, size, next, line, length, kLineCapacity);
    if (next == size) continue;
    const unsigned char b = text[next++];
    if (b == '\t') {
      if (length < kLineCapacity) line[length++] = b;
    } else if (b == '\n') {
      ++LineNo;
      break;
    } else if (b != '\r') {
      IsBinary = true;
      break;
    }
  }
  Position = next;
  LineStart = next;
  lineHeld_ = false;

  if (length == kLineCapacity) {
    length = KeptBeforeEllipsis(line);
    std::memcpy(line + length, "...", 3);
    length += 3;
  }

  // The text ends at the line's first zero byte, and each TAB becomes spaces.
  MakeRoomForEntry(hitOffset);
  std::size_t stop = FindTabOrZero(line, 0, length);
  if (stop == length || line[stop] == 0) {
    Results_.Commit(headLength + stop);
    return;
  }
  char expanded[kMaxHitHeadLength + kLineCapacity * 16];
  char* out = std::copy_n(entry, headLength, expanded);
  for (std::size_t k = 0;;) {
    std::memcpy(out, line + k, stop - k);
    out += stop - k;
    if (stop == length || line[stop] == 0) break;
    out = std::fill_n(out, tabSpaces_, ' ');
    k = stop + 1;
    stop = FindTabOrZero(line, k, length);
  }
  Results_.push_back(std::string_view(expanded, static_cast<std::size_t>(out - expanded)));
}

// Grows the entries by the hits the rest of the text is likely to hold at the rate
// so far, instead of doubling again and again: a frequent word makes millions of
// entries, and each regrowth moves them all into memory that is new to the process.
// The growth stays between twice and eight times, so a dense start cannot reserve
// much more than is used.
void FastScanner::MakeRoomForEntry(std::uint64_t offset) {
  const std::size_t count = Results_.size();
  if (count < Results_.capacity()) return;
  std::size_t more = std::max<std::size_t>(count, 16);
  const std::uint64_t total = Text.expectedSize();
  if (count >= 1024 && offset > 0 && offset < total) {
    const double expected = static_cast<double>(count) * static_cast<double>(total - offset) /
                            static_cast<double>(offset);
    more = std::clamp(static_cast<std::size_t>(expected * 1.125), more, 7 * count);
  }
  Results_.reserve(count + more);
}

}  // namespace

std::unique_ptr<Scanner> MakeFastScanner(const SearchSettings& settings, VectorWidth width,
                                         std::size_t pieceSize) {
  return std::make_unique<FastScanner>(settings, width, pieceSize);
}

}  // namespace kolbrin
