#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "net/BufferPool.h"
#include "net/ClientSession.h"
#include "net/FastCopy.h"
#include "net/FrameHeader.h"
#include "net/SharedMessage.h"
#include "net/SyncPtrList.h"

namespace {

TEST(BufferPool, ZeroSizeIsNullAndNullFreeIsIgnored) {
    EXPECT_EQ(g_BufferPool.Alloc(0), nullptr);
    g_BufferPool.Free(nullptr);
    void* p = g_BufferPool.Alloc(1);
    ASSERT_NE(p, nullptr);
    g_BufferPool.Free(p);
}

TEST(BufferPool, ReusesFrameSizedBlocksWithinItsBound) {
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
    auto after = g_BufferPool.GetStats();
    EXPECT_EQ(after.reused - before.reused, 2u);

    // Freeing many frames keeps only a bounded number of them.
    std::vector<void*> frames;
    for (int i = 0; i < 40; ++i)
        frames.push_back(g_BufferPool.Alloc(12'000'000));
    for (void* f : frames)
        g_BufferPool.Free(f);
    auto full = g_BufferPool.GetStats();
    EXPECT_LE(full.cachedBlocks, CBufferPool::kMaxCachedBlocks);
    EXPECT_LE(full.cachedBytes, CBufferPool::kMaxCachedBytes);
    EXPECT_GT(full.cachedBlocks, 0u);

    // Small blocks never wait in the cache.
    g_BufferPool.Trim();
    g_BufferPool.Free(g_BufferPool.Alloc(88 + 8));
    EXPECT_EQ(g_BufferPool.GetStats().cachedBlocks, 0u);
}

TEST(BufferPool, ThreadsAllocAndFreeConcurrently) {
    // Blocks cross threads as frames do (allocated on one, freed on another).
    CSyncPtrList<uint8_t> handoff;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread consumer([&] {
        int seen = 0;
        while (seen < 400) {
            uint8_t* p = handoff.RemoveHead();
            if (p == nullptr) {
                std::this_thread::yield();
                continue;
            }
            if (p[0] != p[200000 - 1])
                ++bad;
            g_BufferPool.Free(p);
            ++seen;
        }
        done = true;
    });
    for (int i = 0; i < 400; ++i) {
        auto* p = static_cast<uint8_t*>(g_BufferPool.Alloc(200000 + (i % 7) * 1000));
        ASSERT_NE(p, nullptr);
        std::memset(p, i & 0xFF, 200000);
        handoff.AddTail(p);
    }
    consumer.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(bad, 0);
}

TEST(FastCopy, CopiesExactlyTheLength) {
    for (uint32_t len : {0u, 7u, 8u, 9u, 1000u}) {
        std::vector<uint8_t> src(len + 8), dst(len + 8, 0xEE);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<uint8_t>(i + 1);
        FastCopy(dst.data(), src.data(), len);
        for (size_t i = 0; i < dst.size(); ++i)
            EXPECT_EQ(dst[i], i < len ? src[i] : 0xEE) << "len " << len << " byte " << i;
    }
}

TEST(SyncPtrList, EdgeCases) {
    CSyncPtrList<int> list;
    int a = 1, b = 2;
    EXPECT_EQ(list.RemoveHead(), nullptr);
    EXPECT_EQ(list.AddTail(&a), 1);
    EXPECT_EQ(list.AddTail(&b), 1);
    EXPECT_EQ(list.AddTail(&a), 1);
    EXPECT_EQ(list.GetAt(-1), nullptr);
    EXPECT_EQ(list.GetAt(3), nullptr);
    int c = 3;
    EXPECT_EQ(list.Remove(&c), 0);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.Remove(&a), 1);  // only the entry nearer the head
    EXPECT_EQ(list.GetAt(0), &b);
    EXPECT_EQ(list.GetAt(1), &a);
    EXPECT_EQ(list.RemoveHead(), &b);
    EXPECT_EQ(list.RemoveHead(), &a);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(SyncPtrList, EveryEntryArrivesOnceInOrderAcrossThreads) {
    CSyncPtrList<int> list;
    std::vector<int> values(20000);
    std::thread producer([&] {
        for (auto& v : values)
            list.AddTail(&v);
    });
    std::vector<int*> got;
    while (got.size() < values.size()) {
        if (int* p = list.RemoveHead())
            got.push_back(p);
        list.GetAt(list.GetCount() - 1);  // readers in between must be harmless
    }
    producer.join();
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], &values[i]);
}

TEST(ClientQueue, SixWaitingAreDroppedForTheNewest) {
    // Threads not started: only the queue is exercised.
    CClientSession session(0, 1, std::make_unique<CTcpSocket>(), nullptr);
    uint8_t bytes[100] = {};
    for (int i = 0; i < 6; ++i) {
        CSharedMessage* m = CSharedMessage::Create(bytes, sizeof bytes);
        session.Enqueue(m);
        m->Release();
    }
    EXPECT_EQ(session.GetQueueCount(), 6);
    CSharedMessage* newest = CSharedMessage::Create(bytes, sizeof bytes);
    session.Enqueue(newest);
    newest->Release();
    EXPECT_EQ(session.GetQueueCount(), 1);
    EXPECT_EQ(session.GetDroppedCount(), 6u);
}  // the session frees what is still queued (ASan checks)

// Expected bytes of a header, written field by field at their offsets.
struct Bytes {
    uint8_t b[88] = {};
    template <typename T>
    void Put(size_t offset, T value) {
        std::memcpy(b + offset, &value, sizeof value);
    }
};

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
    std::memset(bytes, 0xCC, sizeof bytes);
    WriteHeader(bytes, h);

    Bytes e;
    const uint8_t start[] = {0x44, 0x33, 0x22, 0x11, 'H', 'F', 'Y', 'U', 0x60, 0, 0, 0, 8, 0, 0, 0};
    std::memcpy(e.b, start, sizeof start);
    const uint8_t frame[] = {0x04, 0x03, 0x02, 0x01};
    std::memcpy(e.b + 20, frame, 4);
    e.Put<int32_t>(24, 1700000000);
    e.Put<uint16_t>(28, 999);
    e.Put<int16_t>(30, -60);
    e.Put<int16_t>(32, 1);
    e.b[40] = 4;
    e.b[44] = 2;
    const uint8_t rate[] = {0, 0, 0, 0, 0, 0, 0x39, 0x40};   // 25.0
    const uint8_t scale[] = {0, 0, 0, 0, 0, 0, 0xE0, 0x3F};  // 0.5
    std::memcpy(e.b + 56, rate, 8);
    std::memcpy(e.b + 64, scale, 8);
    e.b[72] = 8;
    e.b[76] = 8;
    EXPECT_EQ(std::memcmp(bytes, e.b, 88), 0);  // the unwritten bytes are zero too
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
    Bytes f;
    const uint8_t jstart[] = {0x44, 0x33, 0x22, 0x11, 'J', 'F', 'I', 'F',
                              0x60, 0,    0,    0,    8,   0,   0,   0};
    std::memcpy(f.b, jstart, sizeof jstart);
    std::memcpy(f.b + 20, frame, 4);
    f.b[38] = 4;
    f.b[40] = 2;
    f.b[42] = 1;
    std::memcpy(f.b + 48, scale, 8);
    f.b[56] = 24;
    std::memcpy(f.b + 58, "CAM1", 4);
    EXPECT_EQ(std::memcmp(bytes, f.b, 88), 0);
}

TEST(FrameHeader, CameraNameFillsTwentyNineBytesAndStaysTerminated) {
    struct {
        const char* name;
        const char* carried;
    } cases[] = {
        {"", ""},
        {"short", "short"},
        {"exactly-twenty-nine-bytes-abc", "exactly-twenty-nine-bytes-abc"},
        {"longer-than-twenty-nine-bytes-by-far", "longer-than-twenty-nine-bytes"},
    };
    for (const auto& c : cases) {
        JpegFrameHeader j;
        std::memset(j.cameraName, 'Z', sizeof j.cameraName);
        SetCameraName(j, c.name);
        uint8_t bytes[88];
        WriteHeader(bytes, j);
        EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 58), c.carried) << c.name;
        EXPECT_EQ(bytes[87], 0);
    }
}

}  // namespace
