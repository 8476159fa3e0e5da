// Writes a seeded text corpus for the benchmarks: lines of ordinary words (ASCII and
// some Japanese), "the" on most lines, and two rare strings on exactly one line in
// 100,000 each: "Quixotry42" and, on another line, the Japanese word "稀覯本". Every
// character is also in CP932, so bench/run can transcode the corpus losslessly.
//
//   kolbrin-corpus OUTPUT MEGABYTES [SEED]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: kolbrin-corpus OUTPUT MEGABYTES [SEED]\n", stderr);
    return 2;
  }
  const unsigned long long targetBytes = std::strtoull(argv[2], nullptr, 10) << 20;
  std::mt19937_64 random(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20261208);
  static const char* const kWords[] = {
      "search", "file",     "window",  "result", "Thread", "buffer", "offset",  "Line",
      "text",   "binary",   "archive", "member", "value",  "error",  "Kolbrin", "tree",
      "node",   "open",     "close",   "copy",   "tab",    "case",   "string",  "match",
      "検索",   "ファイル", "結果",    "行",     "data",   "index",  "record",  "field"};
  constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::string line;
  unsigned long long written = 0;
  for (unsigned long long lineNo = 1; written < targetBytes; ++lineNo) {
    line.clear();
    const int words = 4 + static_cast<int>(random() % 10);
    const int theAt = (random() % 10 < 8) ? static_cast<int>(random() % words) : -1;
    for (int w = 0; w < words; ++w) {
      if (w > 0) line += (random() % 16 == 0) ? '\t' : ' ';
      line += (w == theAt) ? "the" : kWords[random() % kWordCount];
      if (random() % 4 == 0) line += std::to_string(random() % 1000);
    }
    if (lineNo % 100000 == 50000) line += " Quixotry42";
    // Appended after the random draws, so the rest of the corpus stays as it was.
    if (lineNo % 100000 == 75000) line += " 稀覯本";
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    written += line.size();
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
