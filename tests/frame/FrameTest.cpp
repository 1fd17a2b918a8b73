#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "frame/FastCopy.h"
#include "frame/LosslessRecord.h"
#include "frame/PoolBlock.h"
#include "frame/SharedMessage.h"
#include "frame/SyncPtrList.h"
#include "tests/support/FrameHeaders.h"

namespace {

constexpr uint32_t kBig = 441032;  // large enough to be cached

TEST(BufferPool, CacheStaysWithinItsBound) {
    EXPECT_EQ(g_BufferPool.Alloc(0), nullptr);
    std::vector<void*> frames;
    for (int i = 0; i < 40; ++i)
        frames.push_back(g_BufferPool.Alloc(12'000'000));
    for (void* f : frames)
        g_BufferPool.Free(f);
    const auto full = g_BufferPool.GetStats();
    EXPECT_TRUE(full.cachedBlocks > 0 && full.cachedBlocks <= CBufferPool::kMaxCachedBlocks);
    EXPECT_LE(full.cachedBytes, CBufferPool::kMaxCachedBytes);

    g_BufferPool.Trim();
    g_BufferPool.Free(g_BufferPool.Alloc(88 + 8));  // small blocks never wait in the cache
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 0u);
}

TEST(BufferPool, GivesBackWhatABurstLeftIdle) {
    CBufferPool pool(std::chrono::milliseconds(50));
    std::vector<void*> burst(CBufferPool::kMaxCachedBlocks);
    for (void*& b : burst)
        b = pool.Alloc(kBig);
    for (void* b : burst)
        pool.Free(b);
    // Then one frame at a time, for more than two idle windows.
    for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        pool.Free(pool.Alloc(kBig));
    const auto after = pool.GetStats();
    EXPECT_LE(after.cachedBlocks, CBufferPool::kKeptIdle + 1);
    EXPECT_EQ(after.idleReleased + after.cachedBlocks, CBufferPool::kMaxCachedBlocks);
}

TEST(PoolBlock, GivesItsBlockBackUnlessReleased) {
    g_BufferPool.Trim();
    uint8_t* handedOff = nullptr;
    {
        CPoolBlock owner = CPoolBlock::Alloc(kBig);
        ASSERT_TRUE(owner);
        CPoolBlock moved = std::move(owner);
        EXPECT_FALSE(owner);
        EXPECT_EQ(moved.Size(), kBig);
        handedOff = moved.Data();
    }
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 1u);  // freed once, by the last owner
    const uint64_t reused = g_BufferPool.GetStats().reused;
    CPoolBlock again = CPoolBlock::Alloc(kBig);
    EXPECT_EQ(again.Data(), handedOff);
    EXPECT_EQ(g_BufferPool.GetStats().reused, reused + 1);

    uint8_t* raw = again.Release();
    EXPECT_FALSE(again);
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 0u);
    CPoolBlock adopted(raw, kBig);
    adopted = CPoolBlock();  // assignment frees what was held
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 1u);
    EXPECT_FALSE(CPoolBlock::Alloc(0));
}

TEST(SharedMessage, OneCopyFreedWithTheLastHandle) {
    g_BufferPool.Trim();
    std::vector<uint8_t> bytes(kBig);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13);
    CSharedMessageRef first = CSharedMessageRef::Create(bytes.data(), kBig);
    ASSERT_TRUE(first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->Data()) % 16, 0u);
    EXPECT_EQ(std::memcmp(first->Data(), bytes.data(), kBig), 0);
    CSharedMessageRef second = first, third;
    third = second;
    first.Reset();
    second = CSharedMessageRef();
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 0u);
    EXPECT_EQ(third->Data()[kBig - 1], bytes[kBig - 1]);
    CSharedMessageRef last = std::move(third);
    last.Reset();
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 1u);
}

// Blocks cross threads as frames do (allocated on one, freed on another) through a list
// that must deliver each entry once and in order, with readers in between.
TEST(SyncPtrList, PoolBlocksArriveOnceInOrderAcrossThreads) {
    CSyncList<CPoolBlock> list;
    constexpr int kCount = 2000;
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            CPoolBlock p = CPoolBlock::Alloc(200000 + (i % 7) * 1000);
            std::memset(p.Data(), i & 0xFF, 200000);
            list.AddTail(std::move(p));
        }
    });
    for (int seen = 0; seen < kCount;) {
        list.GetCount();
        if (CPoolBlock p = list.RemoveHead()) {
            ASSERT_EQ(p.Data()[0], seen & 0xFF);
            ASSERT_EQ(p.Data()[200000 - 1], seen & 0xFF);
            ++seen;
        }
    }
    producer.join();
}

TEST(SyncPtrList, EdgeCases) {
    CSyncPtrList<int> list;
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(list.RemoveHead(), nullptr);
    for (int* p : {&a, &b, &a})
        list.AddTail(p);
    EXPECT_TRUE(list.GetAt(-1) == nullptr && list.GetAt(3) == nullptr);
    EXPECT_EQ(list.Remove(&c), 0);
    EXPECT_EQ(list.Remove(&a), 1);  // only the entry nearer the head
    EXPECT_TRUE(list.GetCount() == 2 && list.GetAt(0) == &b && list.GetAt(1) == &a);
}

TEST(FastCopy, CopiesExactlyTheLength) {
    for (uint32_t len : {0u, 7u, 8u, 9u, 1000u}) {
        std::vector<uint8_t> src(len + 8), dst(len + 8, 0xEE);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<uint8_t>(i + 1);
        FastCopy(dst.data(), src.data(), len);
        for (size_t i = 0; i < dst.size(); ++i)
            ASSERT_EQ(dst[i], i < len ? src[i] : 0xEE) << len << " " << i;
    }
}

// A 4 × 4 frame: the compressed form wins while format + image fit in the 16 raw bytes.
TEST(LosslessRecord, ChoosesTheShorterFormAndRefusesWhatDoesNotFit) {
    const struct {
        uint32_t format, image, capacity, total;
        bool compressed;
    } cases[] = {
        {10, 6, 200, 104, true}, {10, 7, 200, 104, false}, {1, 0, 200, 89, true},
        {0, 3, 200, 104, false}, {10, 6, 103, 0, true},    {10, 7, 103, 0, false},
    };
    std::vector<uint8_t> format(16, 0xF0), image(16, 0xC0), pixels(16);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i);
    FrameHeader h = TestFrameHeader(4, 4, 9);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format << " + " << c.image << " in " << c.capacity);
        std::vector<uint8_t> record(c.capacity, 0xEE);
        ASSERT_EQ(PutLosslessRecord(record.data(), c.capacity, h, format.data(), c.format,
                                    image.data(), c.image, pixels.data()),
                  c.total);
        if (c.total == 0) {
            EXPECT_EQ(record, std::vector<uint8_t>(c.capacity, 0xEE));
            continue;
        }
        const FrameHeader r = ReadHeader<FrameHeader>(record.data());
        EXPECT_EQ(r.totalLength, c.total);
        EXPECT_EQ(r.compressed, c.compressed ? 1u : 0u);
        EXPECT_EQ(r.formatLength, c.compressed ? c.format : 0u);
        EXPECT_EQ(r.dataLength, c.compressed ? c.image : 16u);
        EXPECT_EQ(r.frameNumber, 9u);
        const std::vector<uint8_t> body(record.begin() + 88, record.begin() + c.total);
        std::vector<uint8_t> expected = pixels;
        if (c.compressed) {
            expected.assign(c.format, 0xF0);
            expected.insert(expected.end(), c.image, 0xC0);
        }
        EXPECT_EQ(body, expected);
    }
}

}  // namespace
