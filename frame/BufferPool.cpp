#include "frame/BufferPool.h"

#include <algorithm>
#include <cstdlib>
#include <new>

CBufferPool g_BufferPool;

namespace {

// Every block starts with this prefix; the caller gets the bytes after it. The prefix
// keeps the block's capacity so Free knows whether to cache it.
struct alignas(std::max_align_t) Prefix {
    size_t capacity;  // usable bytes after the prefix
    uint64_t tag;
};
// Arbitrary values; they catch foreign pointers and double frees of cached blocks in Free.
constexpr uint64_t kTag = 0x4C58504F4F4C3031;
constexpr uint64_t kCachedTag = 0x4C58504F4F4C4643;

constexpr size_t kPage = 4096;

Prefix* PrefixOf(void* block) {
    return static_cast<Prefix*>(block) - 1;
}

void* UserOf(Prefix* prefix) {
    return prefix + 1;
}

// A cached block serves a request when it is big enough and wastes at most a quarter:
// compressed frames vary in size from frame to frame, raw ones never do.
bool Fits(size_t capacity, size_t size) {
    return capacity >= size && capacity - size <= capacity / 4;
}

void FreeBlock(void* base) {
    static_cast<Prefix*>(base)->tag = 0;
    std::free(base);
}

}  // namespace

CBufferPool::~CBufferPool() {
    Trim();
}

void* CBufferPool::Alloc(uint32_t size) {
    if (size == 0)
        return nullptr;
    if (size >= kMinCachedSize) {
        std::lock_guard lock(mutex_);
        // Newest first: it is the most likely to be in the CPU caches.
        for (size_t i = cache_.size(); i-- > 0;) {
            if (Fits(cache_[i].capacity, size)) {
                void* base = cache_[i].base;
                cachedBytes_ -= cache_[i].capacity;
                cache_.erase(cache_.begin() + static_cast<ptrdiff_t>(i));
                lowWater_ = std::min(lowWater_, cache_.size());
                ++reused_;
                static_cast<Prefix*>(base)->tag = kTag;
                return UserOf(static_cast<Prefix*>(base));
            }
        }
        ++fresh_;
    }
    // Frame-sized blocks are rounded up to whole pages so that slightly larger
    // compressed frames still find a cached block.
    size_t capacity = size >= kMinCachedSize ? (size + kPage - 1) / kPage * kPage : size;
    void* base = std::malloc(sizeof(Prefix) + capacity);
    if (base == nullptr)
        return nullptr;
    auto* prefix = new (base) Prefix{capacity, kTag};
    return UserOf(prefix);
}

void CBufferPool::Free(void* block) {
    if (block == nullptr)
        return;
    Prefix* prefix = PrefixOf(block);
    if (prefix->tag != kTag)
        std::abort();  // not a block of this pool, or freed twice: never hand it to the heap
    size_t capacity = prefix->capacity;
    if (capacity < kMinCachedSize || capacity > kMaxCachedBytes / 2) {
        FreeBlock(prefix);
        return;
    }
    prefix->tag = kCachedTag;
    std::vector<void*> evicted;
    {
        std::lock_guard lock(mutex_);
        cache_.push_back(Cached{prefix, capacity});
        cachedBytes_ += capacity;
        while (cache_.size() > kMaxCachedBlocks || cachedBytes_ > kMaxCachedBytes) {
            evicted.push_back(cache_.front().base);
            cachedBytes_ -= cache_.front().capacity;
            cache_.erase(cache_.begin());
        }
        lowWater_ = std::min(lowWater_, cache_.size());
        const auto now = Clock::now();
        if (now - windowStart_ >= idleWindow_) {
            // Reuse takes the newest, so the oldest are the ones that sat idle.
            const size_t idle = lowWater_ > kKeptIdle ? lowWater_ - kKeptIdle : 0;
            for (size_t i = 0; i < idle; ++i) {
                evicted.push_back(cache_.front().base);
                cachedBytes_ -= cache_.front().capacity;
                cache_.erase(cache_.begin());
            }
            idleReleased_ += idle;
            lowWater_ = cache_.size();
            windowStart_ = now;
        }
    }
    // The heap is called outside the lock; only the cache bookkeeping is locked.
    for (void* base : evicted)
        FreeBlock(base);
}

void CBufferPool::Trim() {
    std::vector<Cached> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(cache_);
        cachedBytes_ = 0;
        lowWater_ = 0;
    }
    for (const Cached& c : all)
        FreeBlock(c.base);
}

CBufferPool::Stats CBufferPool::GetStats() const {
    std::lock_guard lock(mutex_);
    return Stats{cache_.size(), cachedBytes_, reused_, fresh_, idleReleased_};
}
