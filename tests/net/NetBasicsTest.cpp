#include <gtest/gtest.h>

#include <memory>

#include "frame/SharedMessage.h"
#include "net/ClientSession.h"

namespace {

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

}  // namespace
