// The fast scanner's bulk searches against tiny references written from their
// contracts: every case through every form (scalar, 16-byte vectors, and 32-byte
// vectors where the processor has AVX2), at many lengths, start offsets and memory
// alignments. Each run is labelled so that a failure names itself.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "search/ScanKernels.h"

namespace kolbrin {
namespace {

// A text placed `shift` bytes into a buffer of exactly its size, so a read past its
// end is a read past the buffer (which a sanitizer build reports).
struct PlacedText {
  PlacedText(const std::string& bytes, std::size_t shift) : buffer(shift + bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), buffer.begin() + static_cast<std::ptrdiff_t>(shift));
    text = buffer.data() + shift;
    size = bytes.size();
  }
  std::vector<unsigned char> buffer;
  const unsigned char* text;
  std::size_t size;
};

// The references.

bool IsCandidateAt(const unsigned char* text, std::size_t size, std::size_t offset,
                   const CandidateBytes& c, bool exactLast) {
  const unsigned char b = text[offset];
  if (b != c.first && b != c.other) return false;
  if (!c.last.on || offset + c.lastOffset >= size) return true;
  const unsigned char last = text[offset + c.lastOffset];
  return last == c.last.a || (!exactLast && last == c.last.b);
}

std::string ReferenceTextEvent(const unsigned char* text, std::size_t size, std::size_t from,
                               std::size_t end, const CandidateBytes& c) {
  std::size_t offset = from;
  while (offset < end && !IsCountedControl(text[offset]) &&
         !IsCandidateAt(text, size, offset, c, false)) {
    ++offset;
  }
  const auto lineFeeds = std::count(text + from, text + offset, '\n');
  return "event=" + std::to_string(offset) + " lineFeeds=" + std::to_string(lineFeeds);
}

std::string ReferenceCandidate(const unsigned char* text, std::size_t size, std::size_t from,
                               std::size_t end, const CandidateBytes& c) {
  std::size_t offset = from;
  while (offset < end && !IsCandidateAt(text, size, offset, c, true)) ++offset;
  return "candidate=" + std::to_string(offset);
}

std::size_t ReferenceFind(const unsigned char* text, std::size_t from, std::size_t end,
                          const std::function<bool(unsigned char)>& stop) {
  std::size_t offset = from;
  while (offset < end && !stop(text[offset])) ++offset;
  return offset;
}

// What the fast scanner's event finder is called with.
struct Stretch {
  std::string label;
  std::string bytes;
  std::size_t from;
  std::size_t end;
  CandidateBytes candidates;
};

// Random texts from a small alphabet that holds every kind of event: candidates in
// both cases, the last-byte test's bytes, tolerated and counted control bytes,
// bytes beyond ASCII. Control bytes are rare, so quiet stretches of many blocks occur.
std::vector<Stretch> RandomStretches() {
  static const unsigned char kLetters[] = {'a',  'b',  'A',  'B',  'x', ' ',
                                           '\n', '\t', '\r', 0x80, 0xFF};
  static const unsigned char kControls[] = {0x00, 0x01, 0x1B, 0x1F};
  std::mt19937 random(20240613);
  std::vector<Stretch> stretches;
  // The long ones pass the points where the line feed tallies are summed.
  const std::size_t kSizes[] = {0,  1,  15,  16,  17,  31,  32,   33,  63,
                                64, 65, 127, 128, 129, 300, 4100, 9000};
  for (int round = 0; round < 600; ++round) {
    const std::size_t size = kSizes[random() % std::size(kSizes)] + random() % 3;
    const unsigned controlOdds = 1 + random() % 400;
    std::string bytes;
    for (std::size_t k = 0; k < size; ++k) {
      const bool control = random() % controlOdds == 0;
      bytes.push_back(static_cast<char>(control ? kControls[random() % std::size(kControls)]
                                                : kLetters[random() % std::size(kLetters)]));
    }
    CandidateBytes c;
    c.first = kLetters[random() % 5];
    c.other = random() % 2 ? c.first : kLetters[random() % 5];
    if (random() % 2) {
      c.last = LastByteTest{true, kLetters[random() % 5], kLetters[random() % 5]};
      c.lastOffset = 1 + random() % 20;
    }
    const std::size_t from = size == 0 ? 0 : random() % (size + 1);
    const std::size_t end = from + random() % (size - from + 1);
    std::ostringstream label;
    label << "case=random-" << round << " size=" << size << " from=" << from << " end=" << end
          << " first=" << int{c.first} << " other=" << int{c.other} << " last=" << c.last.on << "/"
          << int{c.last.a} << "/" << int{c.last.b} << "@" << c.lastOffset;
    stretches.push_back({label.str(), bytes, from, end, c});
  }
  // Every lane of every vector a line feed: the tallies must not overflow.
  stretches.push_back(
      {"case=all-line-feeds", std::string(40000, '\n'), 0, 40000, {'a', 'a', {}, 0}});
  stretches.push_back({"case=line-feeds-then-event",
                       std::string(20000, '\n') + "a",
                       3,
                       20001,
                       {'a', 'A', {true, 'x', 'x'}, 5}});
  return stretches;
}

constexpr std::size_t kShifts[] = {0, 1, 7, 15, 16, 31};

using EventFinder = std::function<std::size_t(const unsigned char*, std::size_t, std::size_t,
                                              std::size_t, const CandidateBytes&, std::uint64_t&)>;

struct EventPath {
  const char* name;
  EventFinder find;
};

std::vector<EventPath> TextEventPaths() {
  std::vector<EventPath> paths = {
      {"scalar", FindTextEventScalar},
      {"16-byte",
       [](const unsigned char* text, std::size_t size, std::size_t from, std::size_t end,
          const CandidateBytes& c, std::uint64_t& lineFeeds) {
         return FindTextEvent(text, size, from, end, c, nullptr, lineFeeds);
       }},
  };
#if KOLBRIN_HAVE_AVX2_PATH
  if (ProcessorHasAvx2()) {
    paths.push_back(
        {"32-byte", [](const unsigned char* text, std::size_t size, std::size_t from,
                       std::size_t end, const CandidateBytes& c, std::uint64_t& lineFeeds) {
           const QuietBlockSkipper skipper = ChooseQuietBlockSkipper(c, VectorWidth::Wide);
           return FindTextEvent(text, size, from, end, c, skipper, lineFeeds);
         }});
  }
  if (ProcessorHasAvx2() && ProcessorHasAvx512Bytes()) {
    paths.push_back(
        {"64-byte", [](const unsigned char* text, std::size_t size, std::size_t from,
                       std::size_t end, const CandidateBytes& c, std::uint64_t& lineFeeds) {
           const QuietBlockSkipper skipper = ChooseQuietBlockSkipper(c, VectorWidth::Widest);
           return FindTextEvent(text, size, from, end, c, skipper, lineFeeds);
         }});
  }
#endif
  return paths;
}

TEST(ScanKernels, TextEventFinderStopsWhereTheReferenceDoes) {
  const std::vector<EventPath> paths = TextEventPaths();
  for (const Stretch& s : RandomStretches()) {
    for (const std::size_t shift : kShifts) {
      const PlacedText placed(s.bytes, shift);
      const std::string expected =
          ReferenceTextEvent(placed.text, placed.size, s.from, s.end, s.candidates);
      for (const EventPath& path : paths) {
        std::uint64_t lineFeeds = 0;
        const std::size_t event =
            path.find(placed.text, placed.size, s.from, s.end, s.candidates, lineFeeds);
        const std::string actual =
            "event=" + std::to_string(event) + " lineFeeds=" + std::to_string(lineFeeds);
        ASSERT_EQ(expected, actual) << s.label << " path=" << path.name << " shift=" << shift;
      }
    }
  }
}

TEST(ScanKernels, CandidateFinderStopsWhereTheReferenceDoes) {
  const std::vector<std::pair<const char*, decltype(&FindCandidate)>> paths = {
      {"scalar", FindCandidateScalar}, {"16-byte", FindCandidate}};
  for (Stretch s : RandomStretches()) {
    // A binary pass's last-byte test is exact.
    s.candidates.last.b = s.candidates.last.a;
    for (const std::size_t shift : kShifts) {
      const PlacedText placed(s.bytes, shift);
      const std::string expected =
          ReferenceCandidate(placed.text, placed.size, s.from, s.end, s.candidates);
      for (const auto& [name, find] : paths) {
        const std::string actual = "candidate=" + std::to_string(find(placed.text, placed.size,
                                                                      s.from, s.end, s.candidates));
        ASSERT_EQ(expected, actual) << s.label << " path=" << name << " shift=" << shift;
      }
    }
  }
}

TEST(ScanKernels, ByteFindersStopWhereTheReferenceDoes) {
  using Finder = std::size_t (*)(const unsigned char*, std::size_t, std::size_t);
  struct Kernel {
    const char* name;
    std::function<bool(unsigned char)> stop;
    std::vector<std::pair<const char*, Finder>> paths;
  };
  const Kernel kernels[] = {
      {"FindLowByte",
       [](unsigned char b) { return b < 0x20; },
       {{"scalar", FindLowByteScalar}, {"16-byte", FindLowByte}}},
      {"FindTabOrZero",
       [](unsigned char b) { return b == 0 || b == '\t'; },
       {{"scalar", FindTabOrZeroScalar}, {"16-byte", FindTabOrZero}}},
  };
  for (const Stretch& s : RandomStretches()) {
    for (const std::size_t shift : kShifts) {
      const PlacedText placed(s.bytes, shift);
      for (const Kernel& kernel : kernels) {
        const std::size_t expected = ReferenceFind(placed.text, s.from, s.end, kernel.stop);
        for (const auto& [name, find] : kernel.paths) {
          ASSERT_EQ(expected, find(placed.text, s.from, s.end))
              << s.label << " kernel=" << kernel.name << " path=" << name << " shift=" << shift;
        }
      }
    }
  }
}

TEST(ScanKernels, LineCopyStopsAtTheFirstLowByteAndAtCapacity) {
  using Copier = std::size_t (*)(const unsigned char*, std::size_t, std::size_t, unsigned char*,
                                 std::size_t&, std::size_t);
  const std::pair<const char*, Copier> paths[] = {{"scalar", CopyToLowByteScalar},
                                                  {"16-byte", CopyToLowByte}};
  std::mt19937 random(7);
  for (const Stretch& s : RandomStretches()) {
    const std::size_t capacity = random() % 2 ? 238 : random() % 40;
    const std::size_t startLength = random() % (capacity + 1);
    for (const std::size_t shift : kShifts) {
      const PlacedText placed(s.bytes, shift);
      const std::size_t low =
          ReferenceFind(placed.text, s.from, placed.size, [](unsigned char b) { return b < 0x20; });
      const std::size_t copied =
          startLength < capacity ? std::min(low - s.from, capacity - startLength) : 0;
      const std::string expected =
          "low=" + std::to_string(low) + " line=" + std::string(startLength, '.') +
          std::string(reinterpret_cast<const char*>(placed.text + s.from), copied);
      for (const auto& [name, copy] : paths) {
        std::vector<unsigned char> line(capacity + 16, '.');
        std::size_t length = startLength;
        const std::size_t stop =
            copy(placed.text, placed.size, s.from, line.data(), length, capacity);
        const std::string actual = "low=" + std::to_string(stop) + " line=" +
                                   std::string(reinterpret_cast<const char*>(line.data()), length);
        ASSERT_EQ(expected, actual) << s.label << " path=" << name << " shift=" << shift
                                    << " capacity=" << capacity << " length=" << startLength;
      }
    }
  }
}

}  // namespace
}  // namespace kolbrin
