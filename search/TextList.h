// A list of byte texts stored end to end in a few large blocks. A frequent word
// turns a file into millions of result entries; kept this way they cost no
// allocation each and a third less memory than separate strings, and the
// publication rule can reorder them and cut off their sort prefixes without moving
// a byte of them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kolbrin {

class TextList {
 public:
  using value_type = std::string_view;
  using const_iterator = std::vector<std::string_view>::const_iterator;
  using iterator = const_iterator;

  TextList() = default;
  TextList(std::initializer_list<std::string_view> texts);
  TextList(const TextList& other);
  TextList& operator=(const TextList& other);
  // A list moved from is empty and can be filled again.
  TextList(TextList&& other) noexcept;
  TextList& operator=(TextList&& other) noexcept;

  // Appends a copy of `text`.
  void push_back(std::string_view text);
  // Room for up to `length` bytes at the end of the list, to write a text in place
  // and append it with Commit; valid until the list next changes.
  char* Reserve(std::size_t length);
  // Appends the first `length` bytes written into the room Reserve gave.
  void Commit(std::size_t length) {
    views_.emplace_back(free_, length);
    free_ += length;
    room_ -= length;
  }

  std::size_t size() const { return views_.size(); }
  bool empty() const { return views_.empty(); }
  std::string_view operator[](std::size_t index) const { return views_[index]; }
  const_iterator begin() const { return views_.begin(); }
  const_iterator end() const { return views_.end(); }

  // Room for `count` texts in the index; the bytes have blocks of their own.
  void reserve(std::size_t count) { views_.reserve(count); }
  std::size_t capacity() const { return views_.capacity(); }
  // Drops every text and frees the blocks.
  void clear();

  // The texts themselves, for reordering, dropping some of them, or narrowing one
  // to a part of itself: every view must stay within the bytes this list holds.
  std::vector<std::string_view>& Views() { return views_; }

  friend bool operator==(const TextList& a, const TextList& b);
  friend bool operator==(const TextList& a, const std::vector<std::string>& b);

 private:
  std::vector<std::string_view> views_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // the unused end of the newest block
  std::size_t room_ = 0;  // and its length
  std::size_t nextBlock_ = 0;
};

}  // namespace kolbrin
