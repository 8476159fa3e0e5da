// The table of held mappings that the SIGBUS handler of FileMap consults: address
// ranges added and removed by the threads that own them, and looked up from a signal
// handler. Lookups are wait-free and async-signal-safe (atomics only); they never
// return a range that was not held as a whole at one moment.
#pragma once

#include <atomic>
#include <cstdint>

namespace kolbrin::platform {

class HeldRanges {
 public:
  // One entry per scanner at a time, and there is one scanner per worker thread.
  static constexpr int kCapacity = 64;

  struct Range {
    std::uintptr_t begin = 0;  // 0: none
    std::uintptr_t end = 0;
  };

  // Adds [begin, end) (begin > 0) and returns its slot, or -1 when the table is full.
  // The slot belongs to the calling thread until it calls Release.
  int Hold(std::uintptr_t begin, std::uintptr_t end) {
    for (int i = 0; i < kCapacity; ++i) {
      Entry& entry = entries_[i];
      bool expected = false;
      if (entry.taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        Write(entry, begin, end);
        return i;
      }
    }
    return -1;
  }

  // Removes the range of `slot`, which the calling thread holds.
  void Release(int slot) {
    Entry& entry = entries_[slot];
    Write(entry, 0, 0);
    entry.taken.store(false, std::memory_order_release);
  }

  // The held range that contains `address`; begin 0 when there is none.
  //
  // An entry's pair is read between two reads of its sequence number, which a writer
  // makes odd while it changes the pair: a pair read while the number was odd, or
  // changed, is skipped rather than read again, so a handler that interrupted the
  // writing thread itself cannot wait forever. Skipping never misses the range of a
  // thread that faults on its own mapping: only that thread changes its entry, and
  // it is not changing it while it reads the mapping.
  //
  // `betweenReads` runs between the reads of begin and end; it lets a test change an
  // entry at the worst moment.
  template <typename BetweenReads>
  Range Find(std::uintptr_t address, BetweenReads&& betweenReads) const {
    for (const Entry& entry : entries_) {
      const std::uint64_t before = entry.sequence.load(std::memory_order_acquire);
      if ((before & 1) != 0) continue;
      const std::uintptr_t begin = entry.begin.load(std::memory_order_relaxed);
      betweenReads();
      const std::uintptr_t end = entry.end.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (entry.sequence.load(std::memory_order_relaxed) != before) continue;
      if (begin != 0 && address >= begin && address < end) return Range{begin, end};
    }
    return Range{};
  }
  Range Find(std::uintptr_t address) const {
    return Find(address, [] {});
  }

 private:
  struct Entry {
    std::atomic<bool> taken{false};  // claimed by a thread, for Hold
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
  };
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
  static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
  static_assert(std::atomic<bool>::is_always_lock_free);

  // Only the thread that took the entry writes it, so the sequence needs no
  // read-modify-write.
  static void Write(Entry& entry, std::uintptr_t begin, std::uintptr_t end) {
    const std::uint64_t sequence = entry.sequence.load(std::memory_order_relaxed);
    entry.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    entry.begin.store(begin, std::memory_order_relaxed);
    entry.end.store(end, std::memory_order_relaxed);
    entry.sequence.store(sequence + 2, std::memory_order_release);
  }

  Entry entries_[kCapacity];
};

}  // namespace kolbrin::platform
