// The text a scanner searches for one loaded file: the file's own bytes, or their
// UTF-8 transcoding. The rules of the decision are in search/TextEncoding.h; this is
// their one home, used by every scanner.
//
// With automatic detection the decision can follow the scan: a file is taken as it
// stands while its bytes check out as UTF-8, so a large UTF-8 file is read once, the
// check running a little ahead of the scan while the bytes are in the cache. When
// the check finds what needs a closer look (an ill-formed sequence, an ISO-2022-JP
// designation in 7-bit text), the whole file is decided at once; if it is then decoded, the scan so
// far was over the wrong text and starts again.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/PageBuffer.h"
#include "search/TextEncoding.h"

namespace kolbrin {

class FileText {
 public:
  explicit FileText(TextEncoding mode);
  ~FileText();
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  // Takes a newly loaded file, whose bytes stay valid until the next Start. A forced
  // encoding, and a byte order mark, are decided at once; otherwise the decision
  // waits for Settle.
  void Start(const unsigned char* bytes, std::size_t size);

  // Makes the decision hold for the text before `upTo` (at least). True when the
  // text has changed, the file now being decoded: what was scanned of it must be
  // scanned again. Once settled() the text stays as it is until the next Start.
  bool Settle(std::size_t upTo);
  // Decides for the whole file now.
  void SettleAll() { Settle(static_cast<std::size_t>(-1)); }
  bool settled() const { return settled_; }
  // Where the decision is known to hold up to: the text before it may be scanned.
  std::size_t settledTo() const { return settled_ ? static_cast<std::size_t>(-1) : checkedTo_; }

  const unsigned char* data() const { return text_; }
  std::size_t size() const { return textSize_; }
  // The encoding the text was decoded from; Bytes while it is the file's own bytes.
  TextEncoding decodedFrom() const { return decodedFrom_; }

 private:
  bool DecideWholeFile(bool knownInvalidUtf8);
  bool DecideForced();
  bool UseDecoded(TextEncoding from, std::size_t size);
  bool KeepRaw();
  unsigned char* Reserve(std::size_t size);

  const TextEncoding mode_;
  const unsigned char* raw_ = nullptr;
  std::size_t rawSize_ = 0;
  const unsigned char* text_ = nullptr;
  std::size_t textSize_ = 0;
  TextEncoding decodedFrom_ = TextEncoding::Bytes;
  bool settled_ = true;
  std::size_t checkedTo_ = 0;    // the file's bytes before this are well-formed UTF-8
  bool nonAscii_ = false;        // and some of them are not ASCII
  platform::PageBuffer buffer_;  // the decoded text, reused from file to file
};

}  // namespace kolbrin
