#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

// One immutable copy of a message, shared by every Client queue of a channel: clients
// cannot tell it from a copy of their own, and 255 clients cost one copy instead of 255.
// The object and its bytes are one buffer-pool block, held through CSharedMessageRef; the
// last handle frees it. Handles on any thread; the bytes never change after Create.
// Aligned so that the bytes after the object are 16-byte aligned.
class alignas(16) CSharedMessage {
  public:
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    uint32_t Length() const { return length_; }

  private:
    friend class CSharedMessageRef;
    // A copy of `length` bytes with one reference, or null when the pool has no room.
    static CSharedMessage* Create(const void* message, uint32_t length);
    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    explicit CSharedMessage(uint32_t length) : length_(length) {}
    ~CSharedMessage() = default;

    std::atomic<int> refs_{1};
    uint32_t length_;
};

static_assert(sizeof(CSharedMessage) % 16 == 0);

// Holds one reference to a CSharedMessage: copying adds one, destruction gives it back.
class CSharedMessageRef {
  public:
    CSharedMessageRef() = default;
    // Takes over the reference that Create returned.
    static CSharedMessageRef Adopt(CSharedMessage* message) { return CSharedMessageRef(message); }
    // A copy of `length` bytes, or an empty handle when the pool has no room.
    static CSharedMessageRef Create(const void* message, uint32_t length) {
        return Adopt(CSharedMessage::Create(message, length));
    }
    ~CSharedMessageRef() { Reset(); }

    CSharedMessageRef(const CSharedMessageRef& other) : message_(other.message_) {
        if (message_ != nullptr)
            message_->AddRef();
    }
    CSharedMessageRef& operator=(const CSharedMessageRef& other) {
        CSharedMessageRef copy(other);
        std::swap(message_, copy.message_);
        return *this;
    }
    CSharedMessageRef(CSharedMessageRef&& other) noexcept
        : message_(std::exchange(other.message_, nullptr)) {}
    CSharedMessageRef& operator=(CSharedMessageRef&& other) noexcept {
        if (this != &other) {
            Reset();
            message_ = std::exchange(other.message_, nullptr);
        }
        return *this;
    }

    void Reset() {
        if (message_ != nullptr)
            std::exchange(message_, nullptr)->Release();
    }
    const CSharedMessage* operator->() const { return message_; }
    const CSharedMessage* Get() const { return message_; }
    explicit operator bool() const { return message_ != nullptr; }
    bool operator==(const CSharedMessageRef& other) const { return message_ == other.message_; }

  private:
    explicit CSharedMessageRef(CSharedMessage* message) : message_(message) {}
    CSharedMessage* message_ = nullptr;
};
