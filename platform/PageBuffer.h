// Memory for a large buffer that is refilled from file to file: anonymous pages from
// the system, in huge pages when large (fewer faults and TLB misses per byte), and
// touched only where written, so reserving more than is used costs address space only.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

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

  // Has the system provide the pages of the first `size` bytes on a helper thread,
  // from the start on, while the caller writes them: clearing a new page costs the
  // system more than the caller's writing, and here it is done on another processor.
  // The caller's writes are right whether or not the helper got there first. Does
  // nothing where the system cannot fill pages in advance. Called, and stopped, by
  // the buffer's one user thread.
  void FillInBackground(std::size_t size);
  // Stops the helper and waits for it; Reserve and Release stop it too.
  void StopFilling();

  unsigned char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::thread filler_;
  std::atomic<bool> stopFilling_{false};
};

}  // namespace kolbrin::platform
