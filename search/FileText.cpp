#include "search/FileText.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kolbrin {
namespace {

// Room past the bytes of a window: the scanner's vector searches may load whole
// vectors there, and the decoder may store whole vectors.
constexpr std::size_t kSlack = 64;

}  // namespace

FileText::FileText(TextEncoding mode, std::size_t pieceSize)
    : mode_(mode), pieceSize_(std::max<std::size_t>(pieceSize, 1)) {}

bool FileText::Allocate() {
  try {
    if (!raw_) {
      rawCapacity_ = kKeptRoom + pieceSize_;
      raw_ = std::make_unique_for_overwrite<unsigned char[]>(rawCapacity_ + kSlack);
    }
    if (!decoded_ && (decoding_ || undecided_ || mode_ != TextEncoding::Bytes)) {
      decodedCapacity_ = kKeptRoom + StreamDecoder::MaxOutput(pieceSize_);
      decoded_ = std::make_unique_for_overwrite<unsigned char[]>(decodedCapacity_ + kSlack);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool FileText::Open(const std::string& path) {
  if (!reader_.Open(path)) return false;
  decision_ = TextDecision{};
  undecided_ = mode_ == TextEncoding::Auto;
  utf16Tried_ = false;
  isoTried_ = false;
  decoding_ = false;
  if (!Allocate()) {
    reader_.Close();
    return false;
  }
  if (mode_ != TextEncoding::Auto && mode_ != TextEncoding::Bytes) Decide();
  Rewind();
  return true;
}

ReadAt FileText::DecisionRead(std::size_t wholeFileInRaw) {
  // A file that the first piece held whole is decided from that piece, not read again.
  return [this, wholeFileInRaw](std::uint64_t offset, unsigned char* buffer, std::size_t size) {
    if (wholeFileInRaw == kNotWhole) return reader_.ReadAt(offset, buffer, size);
    if (offset >= wholeFileInRaw) return std::size_t{0};
    const std::size_t count = std::min<std::size_t>(size, wholeFileInRaw - offset);
    std::memcpy(buffer, raw_.get() + offset, count);
    return count;
  };
}

void FileText::Decide(std::size_t wholeFileInRaw) {
  // A file left with one reading is confirmed by decoding it strictly for the scan.
  decision_ = DecideFileText(mode_, DecisionRead(wholeFileInRaw), decoded_.get(), pieceSize_,
                             Decisions::MayStopEarly);
  undecided_ = false;
  probing_ = false;
}

void FileText::DecideUtf16(std::size_t wholeFileInRaw) {
  probing_ = false;
  utf16Tried_ = true;
  const TextEncoding from =
      DecideUtf16WithoutMark(DecisionRead(wholeFileInRaw), decoded_.get(), pieceSize_);
  if (from == TextEncoding::Bytes) return;  // still shown as it stands while it is UTF-8
  decision_ = TextDecision{from, 0};
  undecided_ = false;
}

void FileText::Rewind() {
  if (undecided_) utf8_.Reset();
  probing_ = undecided_ && !utf16Tried_;
  // A decided file keeps its bad bytes as they stand, and a provisional reading is
  // counted as the decision counts it; a forced encoding replaces bad sequences.
  decoding_ = decision_.from != TextEncoding::Bytes &&
              (mode_ == TextEncoding::Auto ? decoder_.StartChecked(decision_.from)
                                           : decoder_.Start(decision_.from));
  if (!decoding_) decision_ = TextDecision{};
  reader_.Seek(decision_.skip);
  window_ = decoding_ ? decoded_.get() : raw_.get();
  size_ = 0;
  start_ = 0;
  atEnd_ = false;
  changed_ = false;
}

// The bytes just read into the window at `free`, after `kept` bytes kept: while they
// check out as UTF-8 (and show no sign of UTF-16 without a mark) the file stays as it
// stands; else it is decided, and if it is to be decoded the scan starts over.
void FileText::CheckAsItStands(const unsigned char* free, std::size_t kept, std::size_t got) {
  utf8_.Feed(free, got);
  if (atEnd_) utf8_.Finish();
  const std::size_t whole = start_ == 0 && atEnd_ ? kept + got : kNotWhole;
  if (!utf8_.valid()) {
    Decide(whole);
    changed_ = decision_.from != TextEncoding::Bytes;
    return;
  }
  if (utf8_.designation() && !isoTried_) {
    // An ISO-2022-JP designation in text that is UTF-8 so far (and so has no byte
    // order mark): the file is ISO-2022-JP if it reads as such, unless it is UTF-16,
    // which comes first; else it goes on as it stands, and its reading, which gives
    // up early in UTF-8 text, is not tried again.
    isoTried_ = true;
    if (ReadsAsIso2022Jp(DecisionRead(whole), decoded_.get(), pieceSize_, decoder_)) {
      const TextEncoding utf16 =
          utf16Tried_ ? TextEncoding::Bytes
                      : DecideUtf16WithoutMark(DecisionRead(whole), decoded_.get(), pieceSize_);
      decision_ = TextDecision{utf16 != TextEncoding::Bytes ? utf16 : TextEncoding::Iso2022Jp, 0};
      undecided_ = false;
      probing_ = false;
      changed_ = true;
      return;
    }
  }
  if (probing_) {
    // The window holds the file's own bytes: `free` is at file offset start_ + kept.
    const std::uint64_t at = start_ + kept;
    const std::size_t probed =
        at < kUtf16ProbeBytes ? std::min<std::size_t>(got, kUtf16ProbeBytes - at) : 0;
    if (HoldsCountedControl(free, probed)) {
      DecideUtf16(whole);
      changed_ = decision_.from != TextEncoding::Bytes;
    } else if (at + probed >= kUtf16ProbeBytes || atEnd_) {
      probing_ = false;
    }
  }
  if (undecided_ && atEnd_) undecided_ = false;  // UTF-8 all through: as it stands
}

std::size_t FileText::Refill(std::size_t keepFrom) {
  keepFrom = std::min(keepFrom, size_);
  const std::size_t kept = size_ - keepFrom;
  if (kept != 0 && keepFrom != 0) std::memmove(window_, window_ + keepFrom, kept);
  start_ += keepFrom;
  size_ = kept;
  if (atEnd_ || changed_) return keepFrom;

  unsigned char* const free = window_ + kept;
  if (!decoding_) {
    const std::size_t room = rawCapacity_ > kept ? rawCapacity_ - kept : 0;
    const std::size_t wanted = std::min(pieceSize_, room);
    const std::size_t got = reader_.Read(free, wanted);
    // A short read is the end of the file: a small file takes one read.
    atEnd_ = got < wanted || wanted == 0;
    if (undecided_) CheckAsItStands(free, kept, got);
    size_ += got;
    return keepFrom;
  }

  // A piece no larger than its decoding has room for.
  const std::size_t room = decodedCapacity_ > kept ? decodedCapacity_ - kept : 0;
  std::size_t piece = pieceSize_;
  while (piece > 1 && StreamDecoder::MaxOutput(piece) > room) piece /= 2;
  const std::size_t got = reader_.Read(raw_.get(), piece);
  std::size_t written = decoder_.Decode(raw_.get(), got, free);
  atEnd_ = got < piece;
  if (atEnd_) written += decoder_.Finish(free + written);
  if (decision_.provisional) {
    const auto holds = [this] {
      // The raw buffer is free: its last piece is decoded, and no other comes.
      return ProvisionalReadingHolds(decision_.from, decoder_.counts(), DecisionRead(kNotWhole),
                                     raw_.get(), pieceSize_);
    };
    if (decoder_.failed() || (atEnd_ && !holds())) {
      // The one reading left did not hold: the file stands as it is.
      decision_ = TextDecision{};
      changed_ = true;
      return keepFrom;
    }
    if (atEnd_) decision_.provisional = false;
  }
  size_ += written;
  return keepFrom;
}

}  // namespace kolbrin
