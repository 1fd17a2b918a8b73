#pragma once

#include <cstdint>
#include <utility>

#include "frame/BufferPool.h"

// Owns one block of g_BufferPool and gives it back when destroyed. Move-only. Release
// hands the block on to a new owner (a queue, another thread) without freeing it.
class CPoolBlock {
  public:
    CPoolBlock() = default;
    // Takes over a block from g_BufferPool.Alloc (or from Release) of `size` bytes.
    CPoolBlock(void* block, uint32_t size) : block_(static_cast<uint8_t*>(block)), size_(size) {}
    ~CPoolBlock() { Reset(); }

    CPoolBlock(CPoolBlock&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    CPoolBlock& operator=(CPoolBlock&& other) noexcept {
        if (this != &other) {
            Reset();
            block_ = std::exchange(other.block_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    CPoolBlock(const CPoolBlock&) = delete;
    CPoolBlock& operator=(const CPoolBlock&) = delete;

    // A block of `size` bytes; empty for size 0 or when memory is out.
    static CPoolBlock Alloc(uint32_t size) {
        void* block = g_BufferPool.Alloc(size);
        return block == nullptr ? CPoolBlock() : CPoolBlock(block, size);
    }

    uint8_t* Data() const { return block_; }
    template <typename T>
    T* As() const {
        return reinterpret_cast<T*>(block_);
    }
    uint32_t Size() const { return block_ == nullptr ? 0 : size_; }
    explicit operator bool() const { return block_ != nullptr; }

    // Gives up ownership without freeing.
    uint8_t* Release() {
        size_ = 0;
        return std::exchange(block_, nullptr);
    }
    void Reset() {
        if (block_ != nullptr)
            g_BufferPool.Free(std::exchange(block_, nullptr));
        size_ = 0;
    }

  private:
    uint8_t* block_ = nullptr;
    uint32_t size_ = 0;
};
