#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// The one allocator for frame-sized blocks in the process (g_BufferPool). Any thread
// may call Alloc and Free. Every block from Alloc goes back through Free.
//
// Freed blocks of frame size (kMinCachedSize and up) are kept in a small cache and
// handed out again: a fresh multi-megabyte heap block is mmap'd and costs a page fault
// per 4 KiB on first touch, a reused one costs nothing. The cache is bounded by count
// and by bytes; blocks beyond the bound go back to the heap, oldest first.
//
// A moment with many frames in flight (a starved consumer) fills the cache, and a full
// cache would stay a high-water mark for the life of the process. So blocks that stayed
// unused in the cache for a whole idle window are given back.
class CBufferPool {
  public:
    static constexpr uint32_t kMinCachedSize = 64 * 1024;
    static constexpr size_t kMaxCachedBlocks = 16;
    static constexpr size_t kMaxCachedBytes = 128u * 1024 * 1024;
    // Unused blocks kept through an idle window, so that steady traffic does not churn.
    static constexpr size_t kKeptIdle = 2;
    static constexpr std::chrono::milliseconds kIdleWindow{5000};

    explicit CBufferPool(std::chrono::milliseconds idleWindow = kIdleWindow)
        : idleWindow_(idleWindow) {}
    ~CBufferPool();
    CBufferPool(const CBufferPool&) = delete;
    CBufferPool& operator=(const CBufferPool&) = delete;

    // A block of `size` uninitialised bytes, or null for size 0 or when memory is out.
    void* Alloc(uint32_t size);
    // Releases a block from Alloc; null is ignored.
    void Free(void* block);

    // Releases every cached block to the heap.
    void Trim();

    struct Stats {
        size_t cachedBlocks = 0;
        size_t cachedBytes = 0;
        uint64_t reused = 0;        // Alloc calls served from the cache
        uint64_t fresh = 0;         // Alloc calls that went to the heap
        uint64_t idleReleased = 0;  // blocks given back after an idle window
    };
    Stats GetStats() const;

  private:
    struct Cached {
        void* base;
        size_t capacity;
    };

    using Clock = std::chrono::steady_clock;

    const std::chrono::milliseconds idleWindow_;
    // guards cache_, cachedBytes_, reused_, fresh_, idleReleased_, lowWater_, windowStart_
    mutable std::mutex mutex_;
    std::vector<Cached> cache_;  // oldest first
    size_t cachedBytes_ = 0;
    uint64_t reused_ = 0;
    uint64_t fresh_ = 0;
    uint64_t idleReleased_ = 0;
    // The fewest blocks in the cache since windowStart_: that many were never needed.
    size_t lowWater_ = 0;
    Clock::time_point windowStart_ = Clock::now();
};

extern CBufferPool g_BufferPool;
