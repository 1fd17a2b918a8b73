#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/BufferPool.h"
#include "frame/FastCopy.h"
#include "frame/FrameHeader.h"
#include "frame/PoolBlock.h"
#include "frame/SharedMessage.h"
#include "frame/SyncPtrList.h"
#include "net/ClientSession.h"

namespace {

TEST(BufferPool, ReusesFrameSizedBlocksWithinItsBound) {
    EXPECT_EQ(g_BufferPool.Alloc(0), nullptr);
    g_BufferPool.Free(nullptr);
    g_BufferPool.Trim();
    auto before = g_BufferPool.GetStats();
    void* a = g_BufferPool.Alloc(441032);
    std::memset(a, 1, 441032);
    g_BufferPool.Free(a);
    void* b = g_BufferPool.Alloc(441032);
    EXPECT_EQ(b, a);
    // A much smaller request does not take the big block; a slightly smaller one does.
    g_BufferPool.Free(b);
    void* small = g_BufferPool.Alloc(100000);
    EXPECT_NE(small, a);
    void* similar = g_BufferPool.Alloc(400000);
    EXPECT_EQ(similar, a);
    g_BufferPool.Free(similar);
    g_BufferPool.Free(small);
    EXPECT_EQ(g_BufferPool.GetStats().reused - before.reused, 2u);

    std::vector<void*> frames;
    for (int i = 0; i < 40; ++i)
        frames.push_back(g_BufferPool.Alloc(12'000'000));
    for (void* f : frames)
        g_BufferPool.Free(f);
    auto full = g_BufferPool.GetStats();
    EXPECT_LE(full.cachedBlocks, CBufferPool::kMaxCachedBlocks);
    EXPECT_LE(full.cachedBytes, CBufferPool::kMaxCachedBytes);
    EXPECT_GT(full.cachedBlocks, 0u);

    g_BufferPool.Trim();
    g_BufferPool.Free(g_BufferPool.Alloc(88 + 8));  // small blocks never wait in the cache
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 0u);
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
        EXPECT_EQ(list.AddTail(p), 1);
    EXPECT_EQ(list.GetAt(-1), nullptr);
    EXPECT_EQ(list.GetAt(3), nullptr);
    EXPECT_EQ(list.Remove(&c), 0);
    EXPECT_EQ(list.Remove(&a), 1);  // only the entry nearer the head
    EXPECT_EQ(list.GetAt(0), &b);
    EXPECT_EQ(list.GetAt(1), &a);
    EXPECT_EQ(list.GetCount(), 2);
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

TEST(ClientQueue, SixWaitingAreDroppedForTheNewest) {
    // Threads not started: only the queue is exercised; ASan checks what it frees.
    CClientSession session(0, 1, std::make_unique<CTcpSocket>(), nullptr);
    uint8_t bytes[100] = {};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(session.GetQueueCount(), i);
        session.Enqueue(CSharedMessageRef::Create(bytes, sizeof bytes));
    }
    EXPECT_EQ(session.GetQueueCount(), 1);
    EXPECT_EQ(session.GetDroppedCount(), 6u);
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

TEST(FrameHeader, WorkedExampleByteForByte) {
    FrameHeader h;
    h.totalLength = 96;
    h.dataLength = 8;
    h.frameNumber = 0x01020304;
    h.time = 1700000000;
    h.millitm = 999;
    h.timezone = -60;
    h.dstflag = 1;
    h.width = 4;
    h.height = 2;
    h.frameRate = 25.0;
    h.scale = 0.5;
    uint8_t bytes[88];
    std::memset(bytes, 0xCC, sizeof bytes);  // unwritten bytes must come out zero
    WriteHeader(bytes, h);
    EXPECT_EQ(Hex(bytes, 88),
              "44332211484659556000000008000000000000000403020100f15365e703c4ff"
              "0100000000000000040000000200000000000000000000000000000000003940"
              "000000000000e03f08000000080000000000000000000000");
    EXPECT_EQ(ReadHeader<FrameHeader>(bytes).scale, 0.5);

    JpegFrameHeader j;
    j.totalLength = 96;
    j.dataLength = 8;
    j.frameNumber = 0x01020304;
    j.width = 4;
    j.height = 2;
    j.scale = 0.5;
    SetCameraName(j, "CAM1");
    std::memset(bytes, 0xCC, sizeof bytes);
    WriteHeader(bytes, j);
    EXPECT_EQ(Hex(bytes, 88),
              "443322114a464946600000000800000000000000040302010000000000000000"
              "00000000000004000200010000000000000000000000e03f180043414d310000"
              "000000000000000000000000000000000000000000000000");
}

TEST(FrameHeader, CameraNameFillsTwentyNineBytesAndStaysTerminated) {
    for (std::string name :
         {"", "exactly-twenty-nine-bytes-abc", "longer-than-twenty-nine-bytes-by-far"}) {
        JpegFrameHeader j;
        std::memset(j.cameraName, 'Z', sizeof j.cameraName);
        SetCameraName(j, name.c_str());
        uint8_t bytes[88];
        WriteHeader(bytes, j);
        EXPECT_EQ(reinterpret_cast<const char*>(bytes + 58), name.substr(0, 29));
        EXPECT_EQ(bytes[87], 0);
    }
}

}  // namespace
