#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "base/MessageQueue.h"
#include "tests/support/TempDir.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"
#include "zeft/ZeftProtocol.h"

inline int16_t Register(const char* name, int offset, const char* context = "TAVO") {
    return RegisterFecInformation(name, "TEST", context, "test server", "TAVO", "none",
                                  "test@localhost", static_cast<int16_t>(offset));
}

inline int32_t ReplyInt(const ZeftWireReply& r) {
    int32_t v = 0;
    if (r.data.size() >= 4)
        std::memcpy(&v, r.data.data(), 4);
    return v;
}

// A registered process on a free port with one enabled control "TESTSRV" serving device
// "DEV" with a property of each kind. The test thread is the main thread: it pumps the
// queue while clients run on their own threads.
class ZeftServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZeftShutdown();
        ZeftSetBasePort(0);
        ZeftSetServerLimits(limits_);
        MinPollingRate = 8;
        ASSERT_EQ(Register("TESTSRV", 11), kZeftOk);
        port_ = ZeftGetRegistration().port;
        srv_ = std::make_unique<CSrv>(&queue_);
        srv_->SetEquipmentName("TESTSRV");
        ASSERT_EQ(srv_->RegisterDeviceName("DEV", 0), kZeftOk);
        srv_->SetEnabled(true);
        ASSERT_EQ(srv_->EquipmentStatus(), kZeftOk);
        WriteNames("TESTSRV");
        for (const char* p : {"VALUE", "RO", "COUNTER"})
            srv_->AddProperty(p, 1, kZeftFormatInt, "", 1, kZeftFormatInt, "",
                              p[0] == 'V' ? kZeftReadWrite : kZeftRead, "");
        srv_->AddProperty("SCALE", 1, kZeftFormatDouble, "", 1, kZeftFormatDouble, "",
                          kZeftReadWrite, "");
        srv_->AddProperty("NAME", 32, kZeftFormatChar, "", 1, kZeftFormatText, "", kZeftReadWrite,
                          "");
        srv_->AddProperty("SPOT", 1, kZeftFormatByte, "", 1, kZeftFormatRecord, "", kZeftRead, "");
        srv_->AddProperty("BIG", 1, kZeftFormatByte, "", 1 << 20, kZeftFormatByte, "", kZeftRead,
                          "");
        srv_->SetPropertyCallHandler(
            [this](const std::string&, const std::string& prop, int32_t, int32_t, int16_t access) {
                onMain_ = onMain_ && IsMainThread();
                ++runs_;
                bool read = access & kZeftRead, write = access & kZeftWrite;
                if (prop == "VALUE") {
                    uint32_t v = value_;
                    if (write && srv_->GetRequestData(v) != kZeftOk)
                        return srv_->SetCallStatus(2, "");
                    value_ = v;
                    if (read)
                        srv_->PutReplyData(value_);
                } else if (prop == "SCALE") {
                    if (write)
                        srv_->GetRequestData(scale_);
                    if (read)
                        srv_->PutReplyData(scale_);
                } else if (prop == "NAME") {
                    uint8_t buf[48] = {};
                    uint32_t n = 0;
                    if (write && srv_->GetRequestData(std::span<uint8_t>(buf), &n) == kZeftOk)
                        name_.assign(reinterpret_cast<char*>(buf), n);
                    if (read)
                        srv_->PutReplyData(std::string_view(name_));
                } else if (prop == "SPOT") {
                    // -1000 and three times -1.0f, little-endian.
                    static const uint8_t rec[16] = {0x18, 0xFC, 0xFF, 0xFF, 0, 0, 0x80, 0xBF,
                                                    0,    0,    0x80, 0xBF, 0, 0, 0x80, 0xBF};
                    srv_->PutReplyArray(rec, 16);
                } else if (prop == "COUNTER") {
                    srv_->PutReplyData(static_cast<uint32_t>(runs_.load()));
                } else if (prop == "BIG") {
                    srv_->PutReplyArray(big_, static_cast<uint32_t>(big_.size()));
                } else {
                    srv_->SetCallStatus(515, "Internal error!");
                }
            });
    }

    void TearDown() override {
        srv_.reset();
        ZeftShutdown();
        ZeftSetServerLimits(ZeftServerLimits{});
        ZeftSetBasePort(kZeftBasePort);
        ZeftSetNamesFile("");
        MinPollingRate = 8;
    }

    void WriteNames(const std::string& equipment, const std::string& extra = "") {
        ASSERT_TRUE(WriteFileText(
            namesDir_.File(kZeftNamesFile),
            "[TAVO]\n" + equipment + "=127.0.0.1:" + std::to_string(port_) + "\n" + extra));
        ZeftSetNamesFile(namesDir_.path());
    }

    std::string Named(const std::string& device = "DEV") const { return "/TAVO/TESTSRV/" + device; }
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

    int16_t Call(const std::string& addr, const char* property, const ZeftRequest& request,
                 int16_t access, ZeftWireReply* r) {
        return OnClient([&] { return ZeftCall(addr.c_str(), property, request, access, 5000, r); });
    }

    int16_t Exec(const std::string& addr, const char* property, ZeftData* reply,
                 const ZeftData* request, int16_t access) {
        return OnClient(
            [&] { return ExecLinkEx(addr.c_str(), property, reply, request, access, 3000); });
    }

    bool PumpUntil(const std::function<bool()>& cond, int seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            queue_.WaitAndPump({}, std::chrono::milliseconds(10));
        }
        return true;
    }

    // A raw connection to the server from loopback address `from` that has sent `bytes`;
    // the caller closes it.
    int Connect(const std::vector<uint8_t>& bytes = {}, const char* from = "127.0.0.1") {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &a.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        a.sin_port = htons(port_);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (!bytes.empty())
            ZeftSendAll(fd, bytes.data(), bytes.size(), ZeftNowMs() + 3000);
        return fd;
    }

    // The next message on a raw connection as (id, status), its integer in `value`; id 0
    // when none came. With `pump` the main thread runs calls meanwhile.
    std::pair<uint32_t, int16_t> NextReply(int fd, bool pump = true, int32_t* value = nullptr) {
        auto read = [fd, value] {
            ZeftWireHeader h;
            std::vector<uint8_t> body;
            ZeftWireReply r;
            if (ZeftReadMessage(fd, ZeftNowMs() + 3000, 4u << 20, &h, &body) != kZeftOk ||
                ZeftParseReply(body.data(), body.size(), &r) != kZeftOk)
                return std::pair<uint32_t, int16_t>{0, 0};
            if (value)
                *value = ReplyInt(r);
            return std::pair<uint32_t, int16_t>{h.id, r.status};
        };
        return pump ? OnClient(read) : read();
    }

    // Whether the server closed `fd` within seconds (pumping meanwhile); closes it.
    bool ClosedByServer(int fd) {
        bool closed = false;
        PumpUntil([&] {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                char b[256];
                ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
                closed = n == 0 || (n < 0 && errno != EAGAIN);
            }
            return closed;
        });
        ::close(fd);
        return closed;
    }

    bool ServerStillAnswers() {
        ZeftWireReply r;
        return Call(Address(), "COUNTER", {}, kZeftRead, &r) == 0;
    }

    TempDir namesDir_;
    ZeftServerLimits limits_;
    CMessageQueue queue_;
    std::unique_ptr<CSrv> srv_;
    uint16_t port_ = 0;
    std::atomic<int> runs_{0};
    bool onMain_ = true;
    uint32_t value_ = 5;
    double scale_ = 1.0;
    std::string name_ = "Camera 0";
    std::vector<uint8_t> big_ = std::vector<uint8_t>(1 << 20, 0x5A);
};

inline ZeftRequest IntRequest(int32_t v) {
    ZeftRequest r{kZeftFormatInt, 1, std::vector<uint8_t>(4)};
    std::memcpy(r.data.data(), &v, 4);
    return r;
}

inline ZeftRequest TextRequest(const std::string& s) {
    return ZeftRequest{kZeftFormatChar, static_cast<uint32_t>(s.size()), {s.begin(), s.end()}};
}

// A raw request for `property` of `device`.
inline std::vector<uint8_t> RawCall(ZeftMsgType type, const char* property, uint32_t id = 1,
                                    uint32_t intervalMs = 0, int16_t access = kZeftRead,
                                    const char* device = "DEV") {
    ZeftWireCall call;
    call.access = access;
    call.device = device;
    call.property = property;
    call.intervalMs = intervalMs;
    return ZeftEncodeCall(type, id, call);
}

// `count` raw reads of "COUNTER" with ids from `firstId`; monitors each a contract of its own.
inline std::vector<uint8_t> RawCalls(ZeftMsgType type, uint32_t firstId, uint32_t count) {
    std::vector<uint8_t> bytes;
    for (uint32_t id = firstId; id < firstId + count; ++id) {
        std::vector<uint8_t> m = RawCall(type, "COUNTER", id, 3600000 + id);
        bytes.insert(bytes.end(), m.begin(), m.end());
    }
    return bytes;
}
