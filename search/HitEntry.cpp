#include "search/HitEntry.h"

#include <algorithm>
#include <cstring>

namespace kolbrin {
namespace {

// `value` in `digits` upper-case hex digits, leading zeros added.
char* WriteHex(char* out, std::uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  }
  return out + digits;
}

// At least eight digits, more as the value needs them.
char* WriteHexAtLeast8(char* out, std::uint64_t value) {
  int digits = 8;
  for (std::uint64_t more = value >> 32; more != 0; more >>= 4) ++digits;
  return WriteHex(out, value, digits);
}

// Two digits at a time: a frequent word makes millions of entries.
char* WriteLineNumber(char* out, std::int64_t value) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  auto rest = static_cast<std::uint64_t>(value);
  std::size_t digits = 10;
  for (std::uint64_t more = rest / 10'000'000'000u; more != 0; more /= 10) ++digits;
  char* next = out + digits;
  while (next - out >= 2) {
    next -= 2;
    std::memcpy(next, kPairs + 2 * (rest % 100), 2);
    rest /= 100;
  }
  if (next != out) *--next = static_cast<char>('0' + rest % 10);
  return out + digits;
}

}  // namespace

char* WriteSortPrefix(char* out, std::uint64_t offset) {
  if (offset <= 0xFFFFFFFFu) return WriteHex(out, offset, 8);
  *out++ = 'G';
  return WriteHex(out, offset, 16);
}

char* WriteLineHead(char* out, std::int64_t lineNumber) {
  out = std::copy_n("LINE[", 5, out);
  out = WriteLineNumber(out, lineNumber);
  return std::copy_n("]:", 2, out);
}

char* WriteBinaryHead(char* out, std::uint64_t offset) {
  out = std::copy_n("BIN[", 4, out);
  out = WriteHexAtLeast8(out, offset);
  return std::copy_n("]:", 2, out);
}

}  // namespace kolbrin
