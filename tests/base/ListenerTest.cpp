#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "base/Listener.h"

namespace {

TEST(Listener, BindsAnyFreePortRefusesATakenOneAndBadAddresses) {
    auto first = OpenListener("127.0.0.1", 0, 4);
    ASSERT_TRUE(first.Ok()) << first.Message();
    ASSERT_NE(first.Value().port, 0);
    // Accepting without a client says "try later" instead of blocking.
    EXPECT_EQ(::accept(first.Value().fd.get(), nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);

    const struct {
        const char* address;
        uint16_t port;
        int code;
    } refused[] = {
        {"127.0.0.1", first.Value().port, EADDRINUSE},
        {nullptr, first.Value().port, EADDRINUSE},  // every address includes loopback
        {"localhost", 0, EINVAL},
        {"127.0.0.256", 0, EINVAL},
        {"192.0.2.1", 0, EADDRNOTAVAIL},  // not an address of this machine
    };
    for (const auto& r : refused) {
        auto second = OpenListener(r.address, r.port, 4);
        ASSERT_FALSE(second.Ok()) << (r.address ? r.address : "any");
        EXPECT_EQ(second.Code(), r.code) << second.Message();
    }
}

}  // namespace
