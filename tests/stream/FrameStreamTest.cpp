// The stream against ZeroMQ peers written from the wire format: loopback sockets, real
// PULL and SUB sockets, the stream's ZAP handler in front of them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "frame/BufferPool.h"
#include "stream/FrameStream.h"

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48;

StreamSettings StreamOn(const char* pattern, int hwm = 8, const char* content = "raw") {
    StreamSettings s;
    s.enabled = true;
    s.endpoint = "tcp://127.0.0.1:*";
    s.pattern = pattern;
    s.content = content;
    s.highWaterMark = hwm;
    return s;
}

uint8_t Pixel(uint32_t frame, size_t i) {
    return uint8_t(frame * 7 + i);
}

void Publish(CFrameStream& stream, uint32_t frame) {
    StreamFrameInfo info;
    info.frame = frame;
    info.width = kWidth;
    info.height = kHeight;
    auto* pixels = static_cast<uint8_t*>(g_BufferPool.Alloc(kWidth * kHeight));
    for (size_t i = 0; i < kWidth * kHeight; ++i)
        pixels[i] = Pixel(frame, i);
    stream.Publish(info, CFrameStream::Encoding::kRaw, pixels, kWidth * kHeight);
}

// The frame number of a received message, after checking its pixels; -1 when they are wrong.
long Frame(const std::vector<zmq::message_t>& parts) {
    std::smatch m;
    const std::string header = parts.at(0).to_string();
    static const std::regex number("\"frame\":(\\d+),");
    if (parts.size() != 2 || !std::regex_search(header, m, number) ||
        parts[1].size() != kWidth * kHeight)
        return -1;
    const uint32_t frame = uint32_t(std::stoul(m[1]));
    const auto* p = parts[1].data<uint8_t>();
    for (size_t i = 0; i < parts[1].size(); ++i)
        if (p[i] != Pixel(frame, i))
            return -1;
    return frame;
}

// Waits until the peer has finished its handshake with the stream.
void AwaitHandshake(zmq::context_t& context, zmq::socket_t& peer, const std::string& endpoint) {
    static int n = 0;
    const std::string address = "inproc://monitor-" + std::to_string(n++);
    zmq_socket_monitor(peer.handle(), address.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    zmq::socket_t monitor(context, zmq::socket_type::pair);
    monitor.connect(address);
    monitor.set(zmq::sockopt::rcvtimeo, 10000);
    peer.connect(endpoint);
    std::vector<zmq::message_t> event;
    ASSERT_TRUE(zmq::recv_multipart(monitor, std::back_inserter(event)));
    zmq_socket_monitor(peer.handle(), nullptr, 0);
}

}  // namespace

// Three workers share the frames: each frame reaches exactly one, none is lost while they
// keep up, and the stream never waits for them.
TEST(FrameStream, PushSharesEveryFrameAmongThreeWorkers) {
    CFrameStream stream;
    std::string error;
    ASSERT_TRUE(stream.Start(StreamOn("PUSH"), CHostList(), &error)) << error;
    zmq::context_t context;
    std::vector<zmq::socket_t> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back(context, zmq::socket_type::pull);
        AwaitHandshake(context, workers.back(), stream.Endpoint());
    }
    // The stream binds its side of a connection a moment after the peer's handshake.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    constexpr uint32_t kFrames = 300;
    std::atomic<uint32_t> received{0};
    std::vector<std::vector<long>> got(3);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&, i] {
            workers[i].set(zmq::sockopt::rcvtimeo, 2000);
            std::vector<zmq::message_t> parts;
            while (zmq::recv_multipart(workers[i], std::back_inserter(parts))) {
                got[i].push_back(Frame(parts));
                parts.clear();
                received.fetch_add(1);
            }
        });
    for (uint32_t f = 0; f < kFrames; ++f) {
        // At most a high-water mark in flight, so that a worker's queue never fills.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (f >= received.load() + stream.Dropped() + 8 &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        Publish(stream, f);
    }
    for (std::thread& t : readers)
        t.join();
    std::set<long> all;
    size_t total = 0;
    for (const std::vector<long>& g : got) {
        EXPECT_FALSE(g.empty());
        total += g.size();
        all.insert(g.begin(), g.end());
    }
    EXPECT_EQ(total, kFrames);  // disjoint
    EXPECT_EQ(all.size(), kFrames);
    EXPECT_EQ(*all.begin(), 0);
    EXPECT_EQ(*all.rbegin(), long(kFrames - 1));
    EXPECT_EQ(stream.Sent(), kFrames);
    EXPECT_EQ(stream.Dropped(), 0u);
}

// A frame no peer can take is dropped at once: none connected, or one that never reads.
TEST(FrameStream, DropsWhatNoPeerCanTake) {
    CFrameStream stream;
    std::string error;
    ASSERT_TRUE(stream.Start(StreamOn("PUSH", 1), CHostList(), &error)) << error;
    Publish(stream, 0);
    EXPECT_EQ(stream.Dropped(), 1u);

    zmq::context_t context;
    zmq::socket_t idle(context, zmq::socket_type::pull);
    idle.set(zmq::sockopt::rcvhwm, 1);
    idle.set(zmq::sockopt::rcvbuf, 4096);
    AwaitHandshake(context, idle, stream.Endpoint());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (uint32_t f = 1; f <= 400; ++f)
        Publish(stream, f);
    EXPECT_GT(stream.Sent(), 0u);
    EXPECT_GT(stream.Dropped(), 100u);
    EXPECT_EQ(stream.Sent() + stream.Dropped(), 401u);
}

// Only hosts of the view list get frames; the others are refused and counted.
TEST(FrameStream, ViewHostsRefuseOtherAddresses) {
    CFrameStream stream;
    std::string error;
    ASSERT_TRUE(stream.Start(StreamOn("PUB"), CHostList::Parse("127.0.0.2"), &error)) << error;
    const std::string port = stream.Endpoint().substr(stream.Endpoint().rfind(':') + 1);
    zmq::context_t context;
    zmq::socket_t allowed(context, zmq::socket_type::sub), other(context, zmq::socket_type::sub);
    for (zmq::socket_t* s : {&allowed, &other}) {
        s->set(zmq::sockopt::subscribe, "");
        s->set(zmq::sockopt::rcvtimeo, 50);
    }
    allowed.connect("tcp://127.0.0.2:0;127.0.0.1:" + port);
    other.connect("tcp://127.0.0.1:" + port);
    int frames = 0;
    std::vector<zmq::message_t> parts;
    for (uint32_t f = 0; f < 200 && frames < 5; ++f) {
        Publish(stream, f);
        parts.clear();
        if (zmq::recv_multipart(allowed, std::back_inserter(parts)))
            frames += Frame(parts) == long(f) ? 1 : 0;
    }
    EXPECT_EQ(frames, 5);
    parts.clear();
    EXPECT_FALSE(zmq::recv_multipart(other, std::back_inserter(parts)));
    EXPECT_GE(stream.Refused(), 1u);
}

// Every bad setting is one reason, and nothing is left bound.
TEST(FrameStream, BadSettingsAreRefusedWithTheirReason) {
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &length);
    const std::string busy = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const struct {
        const char* pattern;
        const char* content;
        std::string endpoint;
        std::string reason;
    } cases[] = {
        {"PULL", "raw", "tcp://127.0.0.1:*", "unknown Pattern \"PULL\" (PUSH or PUB)"},
        {"push", "raw", "tcp://127.0.0.1:*", "unknown Pattern \"push\" (PUSH or PUB)"},
        {"PUB", "jpeg", "tcp://127.0.0.1:*", "unknown Content \"jpeg\" (raw or lossless)"},
        {"PUSH", "raw", busy, "cannot bind " + busy + " (Address already in use)"},
        {"PUB", "raw", "tcp//nowhere", "cannot bind tcp//nowhere (Invalid argument)"},
    };
    for (const auto& c : cases) {
        CFrameStream stream;
        StreamSettings s = StreamOn(c.pattern, 8, c.content);
        s.endpoint = c.endpoint;
        std::string error;
        EXPECT_FALSE(stream.Start(s, CHostList::Parse("127.0.0.1"), &error)) << c.endpoint;
        EXPECT_EQ(error, c.reason);
        EXPECT_FALSE(stream.IsStarted());
    }
    ::close(taken);
}
