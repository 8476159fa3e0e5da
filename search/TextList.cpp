#include "search/TextList.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kolbrin {
namespace {
// Blocks start small, so that a file of one hit costs little, and double up to this
// size, so that a file of millions costs one allocation per MiB.
constexpr std::size_t kFirstBlock = 256;
constexpr std::size_t kLargestBlock = std::size_t{1} << 20;
}  // namespace

TextList::TextList(std::initializer_list<std::string_view> texts) {
  reserve(texts.size());
  for (std::string_view text : texts) push_back(text);
}

TextList::TextList(const TextList& other) {
  reserve(other.size());
  for (std::string_view text : other) push_back(text);
}

TextList& TextList::operator=(const TextList& other) {
  if (this != &other) *this = TextList(other);
  return *this;
}

TextList::TextList(TextList&& other) noexcept
    : views_(std::move(other.views_)),
      blocks_(std::move(other.blocks_)),
      free_(std::exchange(other.free_, nullptr)),
      room_(std::exchange(other.room_, 0)),
      nextBlock_(std::exchange(other.nextBlock_, 0)) {
  other.views_.clear();
  other.blocks_.clear();
}

TextList& TextList::operator=(TextList&& other) noexcept {
  if (this != &other) {
    views_ = std::move(other.views_);
    blocks_ = std::move(other.blocks_);
    free_ = std::exchange(other.free_, nullptr);
    room_ = std::exchange(other.room_, 0);
    nextBlock_ = std::exchange(other.nextBlock_, 0);
    other.views_.clear();
    other.blocks_.clear();
  }
  return *this;
}

char* TextList::Reserve(std::size_t length) {
  if (length > room_) {
    nextBlock_ = std::clamp(nextBlock_ * 2, kFirstBlock, kLargestBlock);
    const std::size_t size = std::max(length, nextBlock_);
    // Left uninitialised: every byte handed out is written first.
    blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
    free_ = blocks_.back().get();
    room_ = size;
  }
  return free_;
}

void TextList::push_back(std::string_view text) {
  char* const at = Reserve(text.size());
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  Commit(text.size());
}

void TextList::clear() {
  views_.clear();
  blocks_.clear();
  free_ = nullptr;
  room_ = 0;
  nextBlock_ = 0;
}

bool operator==(const TextList& a, const TextList& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool operator==(const TextList& a, const std::vector<std::string>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](std::string_view x, const std::string& y) { return x == y; });
}

}  // namespace kolbrin
