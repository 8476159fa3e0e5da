#include "platform/PageBuffer.h"

#include <sys/mman.h>

namespace kolbrin::platform {
namespace {

std::size_t RoundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

}  // namespace

PageBuffer::~PageBuffer() { Release(); }

unsigned char* PageBuffer::Reserve(std::size_t size) {
  StopFilling();
  if (size <= capacity_) return data_;
  Release();
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const bool huge = size >= kHugePage;
  if (size > static_cast<std::size_t>(-1) - kHugePage) return nullptr;
  const std::size_t capacity = RoundUp(size, huge ? kHugePage : std::size_t{64} << 10);
  void* at = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return nullptr;
  if (huge) ::madvise(at, capacity, MADV_HUGEPAGE);
  data_ = static_cast<unsigned char*>(at);
  capacity_ = capacity;
  return data_;
}

void PageBuffer::Release() {
  StopFilling();
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
}

void PageBuffer::FillInBackground(std::size_t size) {
  StopFilling();
  if (data_ == nullptr) return;
  size = size < capacity_ ? size : capacity_;
  stopFilling_.store(false);
  unsigned char* const data = data_;
  filler_ = std::thread([this, data, size] {
    // A huge page at a time, so that the caller, writing behind, soon finds its pages.
    constexpr std::size_t kStep = std::size_t{2} << 20;
    for (std::size_t at = 0; at < size && !stopFilling_.load(std::memory_order_relaxed);
         at += kStep) {
      const std::size_t length = size - at < kStep ? size - at : kStep;
      if (::madvise(data + at, length, MADV_POPULATE_WRITE) != 0) return;  // not supported
    }
  });
}

void PageBuffer::StopFilling() {
  if (!filler_.joinable()) return;
  stopFilling_.store(true);
  filler_.join();
}

}  // namespace kolbrin::platform
