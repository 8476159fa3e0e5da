// UTF-8 validation at memory speed, for the decision whether a file is searched as
// it stands. Well-formed means as Unicode defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no stray or missing continuation bytes.
// Where the processor has AVX-512 or AVX2, blocks of 64 bytes are checked with
// vectors (each byte classified by table look-ups on its nibbles and those of the
// byte before); elsewhere, and for the rest of a range, ASCII is skipped eight bytes at
// a time and other characters are checked one by one with ICU's U8_NEXT.
#pragma once

#include <cstddef>

namespace kolbrin {

struct Utf8Check {
  // Where the check stopped: the end of the range, or the start of a character
  // that runs past it. Everything before is well-formed (unless `invalid`).
  std::size_t checkedTo = 0;
  // An ill-formed sequence starts in the range (the check then stops early, and
  // checkedTo means nothing more).
  bool invalid = false;
  // An ESC byte lies in [from, checkedTo): ISO-2022-JP is then worth a look.
  bool escape = false;
  // A byte at or above 0x80 lies in [from, checkedTo).
  bool nonAscii = false;
};

// Checks bytes [from, to) of data[0, size): `from` must start a character. A
// character that starts before `to` and runs past it is left for the next range,
// unless it runs past `size`, which makes it ill-formed.
Utf8Check CheckUtf8(const unsigned char* data, std::size_t from, std::size_t to, std::size_t size);

// Whether a file read piece by piece holds an ISO-2022-JP designation (ESC $ @,
// ESC $ B, ESC $ ( D, ESC ( B, ESC ( J, ESC ( I), also one split between pieces.
class DesignationSearch {
 public:
  // Looks through the next piece, unless one was found before; `escape`: the piece
  // may hold an ESC (false when the caller knows that it holds none). Returns found().
  bool Feed(const unsigned char* data, std::size_t size, bool escape = true);
  // The bytes fed last end with one that no designation holds (a byte at or above
  // 0x80): a designation cannot have begun among them.
  void Interrupt() { lastSize_ = 0; }
  bool found() const { return found_; }

 private:
  unsigned char last_[3] = {};  // the last bytes fed, while one of them is an ESC
  std::size_t lastSize_ = 0;
  bool found_ = false;
};

// Whether a file read piece by piece is well-formed UTF-8, at CheckUtf8's speed. The
// bytes of a character that a piece's end may cut short (from a lead byte among the
// piece's last three on) are held in the object until the next piece completes them:
// the caller keeps no bytes. Finish checks those the file's end leaves, so a file
// whose only fault lies there (a last character cut short) is valid up to Finish.
class Utf8Stream {
 public:
  // Checks the next piece of the file. Returns valid().
  bool Feed(const unsigned char* data, std::size_t size);
  // The file has ended: a character it cuts short is ill-formed. Returns valid().
  bool Finish();
  // No ill-formed sequence so far.
  bool valid() const { return valid_; }
  // A byte at or above 0x80 seen so far.
  bool nonAscii() const { return nonAscii_; }
  // An ISO-2022-JP designation (ESC $ @, ESC $ B, ESC $ ( D, ESC ( B, ESC ( J,
  // ESC ( I) seen so far, also one split between pieces.
  bool designation() const { return designations_.found(); }
  void Reset() { *this = Utf8Stream{}; }

 private:
  bool FeedWhole(const unsigned char* data, std::size_t size);

  unsigned char held_[4] = {};  // a lead byte and the continuation bytes after it
  std::size_t heldSize_ = 0;
  DesignationSearch designations_;
  bool valid_ = true;
  bool nonAscii_ = false;
};

// The widest vectors, in bytes, that the next checks may use where the processor has
// them: 64 (AVX-512, the default), 32 (AVX2) or 0 (none); tests narrow it to reach
// every path.
void SetUtf8CheckWidestVector(int bytes);

}  // namespace kolbrin
