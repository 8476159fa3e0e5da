#include "platform/PageBuffer.h"

#include <sys/mman.h>

namespace kolbrin::platform {
namespace {

std::size_t RoundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

}  // namespace

PageBuffer::~PageBuffer() { Release(); }

unsigned char* PageBuffer::Reserve(std::size_t size) {
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
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
}

}  // namespace kolbrin::platform
