#pragma once

#include <atomic>
#include <cstdint>

// One immutable copy of a message, shared by every Client queue of a channel: clients
// cannot tell it from a copy of their own, and 255 clients cost one copy instead of 255.
// The object and its bytes are one buffer-pool block; the last Release frees it.
// AddRef and Release from any thread; the bytes never change after Create.
// Aligned so that the bytes after the object are 16-byte aligned.
class alignas(16) CSharedMessage {
  public:
    // A copy of `length` bytes with one reference, or null when the pool has no room.
    static CSharedMessage* Create(const void* message, uint32_t length);

    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    uint32_t Length() const { return length_; }

  private:
    explicit CSharedMessage(uint32_t length) : length_(length) {}
    ~CSharedMessage() = default;

    std::atomic<int> refs_{1};
    uint32_t length_;
};

static_assert(sizeof(CSharedMessage) % 16 == 0);
