#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/BufferPool.h"
#include "net/FastCopy.h"
#include "net/FrameHeader.h"
#include "net/SyncPtrList.h"

TEST(BufferPool, ZeroSizeIsNullAndNullFreeIsIgnored) {
    EXPECT_EQ(g_BufferPool.Alloc(0), nullptr);
    g_BufferPool.Free(nullptr);
    void* p = g_BufferPool.Alloc(441032);
    ASSERT_NE(p, nullptr);
    g_BufferPool.Free(p);
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

TEST(FrameHeader, WorkedExampleBytes) {
    FrameHeader h;
    h.totalLength = 96;
    h.dataLength = 8;
    h.width = 4;
    h.height = 2;
    uint8_t bytes[88];
    WriteHeader(bytes, h);
    const uint8_t magic[] = {0x44, 0x33, 0x22, 0x11, 'H', 'F', 'Y', 'U', 0x60, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, magic, sizeof magic), 0);
    EXPECT_EQ(bytes[40], 4);
    EXPECT_EQ(bytes[44], 2);
    EXPECT_EQ(bytes[72], 8);
    EXPECT_EQ(ReadHeader<FrameHeader>(bytes).totalLength, 96u);

    JpegFrameHeader j;
    WriteHeader(bytes, j);
    EXPECT_EQ(std::memcmp(bytes + 4, "JFIF", 4), 0);
    EXPECT_EQ(bytes[56], 24);
    EXPECT_EQ(bytes[87], 0);
}
