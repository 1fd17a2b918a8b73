#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

// The one allocator for frame-sized blocks in the process (g_BufferPool). Any thread
// may call Alloc and Free. Every block from Alloc goes back through Free.
class CBufferPool {
  public:
    // A block of `size` uninitialised bytes, or null for size 0 or when memory is out.
    void* Alloc(uint32_t size);
    // Releases a block from Alloc; null is ignored.
    void Free(void* block);

  private:
    std::mutex mutex_;  // held only around the heap call
};

extern CBufferPool g_BufferPool;
