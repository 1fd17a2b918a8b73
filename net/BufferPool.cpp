#include "net/BufferPool.h"

#include <cstdlib>

CBufferPool g_BufferPool;

void* CBufferPool::Alloc(uint32_t size) {
    if (size == 0)
        return nullptr;
    std::lock_guard lock(mutex_);
    return std::malloc(size);
}

void CBufferPool::Free(void* block) {
    if (block == nullptr)
        return;
    std::lock_guard lock(mutex_);
    std::free(block);
}
