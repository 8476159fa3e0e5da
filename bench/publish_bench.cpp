// Times the publication rule on one file's entries: two passes' worth of text hits
// (1,000,000 in all by default), a tenth of the second pass on lines the first hit.
//   kolbrin-publish-bench [ENTRIES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/HitEntry.h"
#include "search/ResultTree.h"

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 1000000;
  kolbrin::TextList results;
  results.reserve(static_cast<std::size_t>(entries));
  // Pass one hits the even lines, pass two the odd ones and every tenth even one
  // again, each pass in offset order as the scanner finds them.
  const int first = entries / 2;
  char head[64];
  const auto add = [&](int line, int column) {
    char* headEnd = kolbrin::WriteLineHead(
        kolbrin::WriteSortPrefix(head, static_cast<std::uint32_t>(line * 100 + column)), line + 1);
    results.push_back(std::string(head, headEnd) + "a line of text with The word in it, line " +
                      std::to_string(line));
  };
  for (int i = 0; i < first; ++i) add(2 * i, 0);
  for (int i = 0; i < entries - first; ++i) add(i % 10 == 0 ? 2 * i : 2 * i + 1, 7);
  const auto start = std::chrono::steady_clock::now();
  const kolbrin::TextList shown = kolbrin::ShownHitTexts(results, static_cast<std::size_t>(first));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("publication of %d entries: %.3f s, %zu hit nodes\n", entries, seconds, shown.size());
  return 0;
}
