// Memory for a large buffer that is refilled from file to file: anonymous pages from
// the system, in huge pages when large (fewer faults and TLB misses per byte), and
// touched only where written, so reserving more than is used costs address space only.
#pragma once

#include <cstddef>

namespace kolbrin::platform {

class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer();
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // Room for at least `size` bytes (size > 0); the contents are not kept when the
  // buffer grows. Null, and nothing held, when the memory cannot be had.
  unsigned char* Reserve(std::size_t size);
  // Gives the memory back.
  void Release();

  unsigned char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace kolbrin::platform
