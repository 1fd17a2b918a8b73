#pragma once

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
class CBufferPool {
  public:
    static constexpr uint32_t kMinCachedSize = 64 * 1024;
    static constexpr size_t kMaxCachedBlocks = 16;
    static constexpr size_t kMaxCachedBytes = 128u * 1024 * 1024;

    CBufferPool() = default;
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
        uint64_t reused = 0;  // Alloc calls served from the cache
        uint64_t fresh = 0;   // Alloc calls that went to the heap
    };
    Stats GetStats() const;

  private:
    struct Cached {
        void* base;
        size_t capacity;
    };

    mutable std::mutex mutex_;   // guards cache_, cachedBytes_, reused_, fresh_
    std::vector<Cached> cache_;  // oldest first
    size_t cachedBytes_ = 0;
    uint64_t reused_ = 0;
    uint64_t fresh_ = 0;
};

extern CBufferPool g_BufferPool;
