#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/MessageQueue.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"
#include "control/zeft/ZeftClient.h"
#include "tests/support/TempDir.h"

// A registered process on a free port with one enabled control "TESTSRV" serving device
// "DEV". The test thread is the main thread: it pumps the queue while clients run on
// their own threads.
class ZeftServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZeftShutdown();
        ZeftSetBasePort(0);
        ZeftSetServerLimits(limits_);
        MinPollingRate = 8;
        ASSERT_EQ(RegisterFecInformation("TESTSRV", "TEST", "TAVO", "test server", "TAVO", "none",
                                         "test@localhost", 11),
                  kZeftOk);
        port_ = ZeftGetRegistration().port;
        ASSERT_NE(port_, 0);
        srv_ = std::make_unique<CSrv>(&queue_);
        srv_->SetEquipmentName("TESTSRV");
        ASSERT_EQ(srv_->RegisterDeviceName("DEV", 0), kZeftOk);
        srv_->SetEnabled(true);
        ASSERT_EQ(srv_->EquipmentStatus(), kZeftOk);
        ASSERT_TRUE(WriteFileText(namesDir_.File(kZeftNamesFile),
                                  "[TAVO]\nTESTSRV=127.0.0.1:" + std::to_string(port_) + "\n"));
        ZeftSetNamesFile(namesDir_.path());
    }

    void TearDown() override {
        srv_.reset();
        ZeftShutdown();
        ZeftSetServerLimits(ZeftServerLimits{});
        ZeftSetBasePort(kZeftBasePort);
        ZeftSetNamesFile("");
    }

    // "/TAVO/TESTSRV/device", through the names file.
    std::string Named(const std::string& device = "DEV") const { return "/TAVO/TESTSRV/" + device; }

    // "/TAVO/127.0.0.1:PORT/device"
    std::string Address(const std::string& device = "DEV") const {
        return "/TAVO/127.0.0.1:" + std::to_string(port_) + "/" + device;
    }

    // Runs `fn` on a client thread and pumps the main queue until it has returned.
    template <class F>
    auto OnClient(F fn) -> decltype(fn()) {
        std::atomic<bool> done{false};
        decltype(fn()) result{};
        std::thread t([&] {
            result = fn();
            done = true;
        });
        while (!done)
            queue_.WaitAndPump({}, std::chrono::milliseconds(20));
        t.join();
        return result;
    }

    // Pumps until `cond` holds or `seconds` have passed.
    bool PumpUntil(const std::function<bool()>& cond, int seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            queue_.WaitAndPump({}, std::chrono::milliseconds(10));
        }
        return true;
    }

    TempDir namesDir_;
    ZeftServerLimits limits_;
    CMessageQueue queue_;
    std::unique_ptr<CSrv> srv_;
    uint16_t port_ = 0;
};

inline ZeftRequest IntRequest(int32_t v) {
    ZeftRequest r;
    r.format = kZeftFormatInt;
    r.count = 1;
    r.data.resize(4);
    std::memcpy(r.data.data(), &v, 4);
    return r;
}

inline ZeftRequest TextRequest(const std::string& s) {
    ZeftRequest r;
    r.format = kZeftFormatChar;
    r.count = static_cast<uint32_t>(s.size());
    r.data.assign(s.begin(), s.end());
    return r;
}

inline int32_t ReplyInt(const ZeftWireReply& r) {
    int32_t v = 0;
    if (r.data.size() >= 4)
        std::memcpy(&v, r.data.data(), 4);
    return v;
}
