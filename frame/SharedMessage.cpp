#include "frame/SharedMessage.h"

#include <new>

#include "frame/BufferPool.h"
#include "frame/FastCopy.h"

CSharedMessage* CSharedMessage::Create(const void* message, uint32_t length) {
    if (length > UINT32_MAX - sizeof(CSharedMessage))
        return nullptr;
    void* block = g_BufferPool.Alloc(static_cast<uint32_t>(sizeof(CSharedMessage) + length));
    if (block == nullptr)
        return nullptr;
    auto* shared = new (block) CSharedMessage(length);
    FastCopy(shared + 1, message, length);
    return shared;
}

void CSharedMessage::Release() {
    // acq_rel: the thread that frees must see every other thread's reads as finished.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~CSharedMessage();
        g_BufferPool.Free(this);
    }
}
