// The stream against ZeroMQ peers written from the message layout: loopback sockets, real
// PULL and SUB sockets, the stream's ZAP handler in front of them.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "frame/BufferPool.h"
#include "stream/FrameStream.h"

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48;

void Start(CFrameStream& stream, const char* pattern, int hwm, const char* view = "") {
    StreamSettings s{true, "tcp://127.0.0.1:*", pattern, "raw", hwm};
    auto started = stream.Start(s, CHostList::Parse(view));
    ASSERT_TRUE(started) << started.Message();
}

void Publish(CFrameStream& stream, uint32_t frame) {
    auto* pixels = static_cast<uint8_t*>(g_BufferPool.Alloc(kWidth * kHeight));
    for (size_t i = 0; i < kWidth * kHeight; ++i)
        pixels[i] = uint8_t(frame * 7 + i);
    StreamFrameInfo info;
    info.frame = frame;
    info.width = kWidth;
    info.height = kHeight;
    stream.Publish(info, CFrameStream::Encoding::kRaw, pixels, kWidth * kHeight);
}

// The frame number of a message whose pixels are that frame's; -1 otherwise.
long Frame(const std::vector<zmq::message_t>& parts) {
    // Built once: the readers' threads would race in the locale's cache building their own.
    static const std::regex start("^\\{\"htype\":\"lumerix2-frame-1\",\"frame\":(\\d+),");
    std::smatch m;
    const std::string header = parts.at(0).to_string();
    if (parts.size() != 2 || parts[1].size() != kWidth * kHeight ||
        !std::regex_search(header, m, start))
        return -1;
    const uint32_t frame = uint32_t(std::stoul(m[1]));
    for (size_t i = 0; i < parts[1].size(); ++i)
        if (parts[1].data<uint8_t>()[i] != uint8_t(frame * 7 + i))
            return -1;
    return frame;
}

// Connects `peer` and waits until its handshake with the stream is done.
void Connect(zmq::context_t& context, zmq::socket_t& peer, const std::string& endpoint) {
    const std::string address = "inproc://monitor-" + std::to_string(uintptr_t(peer.handle()));
    zmq_socket_monitor(peer.handle(), address.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    zmq::socket_t monitor(context, zmq::socket_type::pair);
    monitor.connect(address);
    monitor.set(zmq::sockopt::rcvtimeo, 10000);
    peer.connect(endpoint);
    std::vector<zmq::message_t> event;
    ASSERT_TRUE(zmq::recv_multipart(monitor, std::back_inserter(event)));
    zmq_socket_monitor(peer.handle(), nullptr, 0);
    // The stream attaches its side of the connection a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

// Three workers share the frames: each frame reaches exactly one, none is lost while they
// keep up. Then a peer that never reads: the stream drops and counts, and never waits.
TEST(FrameStream, PushSharesEveryFrameAndDropsWhatNoPeerCanTake) {
    CFrameStream stream;
    Start(stream, "PUSH", 8);
    zmq::context_t context;
    std::vector<zmq::socket_t> workers;
    for (int i = 0; i < 3; ++i)
        Connect(context, workers.emplace_back(context, zmq::socket_type::pull), stream.Endpoint());
    constexpr uint32_t kFrames = 300;
    std::atomic<uint32_t> received{0};
    std::vector<std::vector<long>> got(3);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&, i] {
            workers[i].set(zmq::sockopt::rcvtimeo, 2000);
            for (std::vector<zmq::message_t> m;
                 zmq::recv_multipart(workers[i], std::back_inserter(m)); m.clear()) {
                got[i].push_back(Frame(m));
                received.fetch_add(1);
            }
        });
    for (uint32_t f = 0; f < kFrames; ++f) {
        // At most a high-water mark in flight, so that no worker's queue fills.
        for (int wait = 0; f >= received.load() + stream.Dropped() + 8 && wait < 50000; ++wait)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        Publish(stream, f);
    }
    for (std::thread& t : readers)
        t.join();
    std::set<long> all;
    for (const std::vector<long>& g : got) {
        EXPECT_FALSE(g.empty());
        all.insert(g.begin(), g.end());
    }
    EXPECT_EQ(got[0].size() + got[1].size() + got[2].size(), kFrames);  // disjoint
    EXPECT_EQ(all.size(), kFrames);
    EXPECT_EQ(*all.begin() + *all.rbegin(), long(kFrames - 1));  // 0 to the last, none bad
    EXPECT_EQ(stream.Dropped(), 0u);

    workers.clear();
    zmq::socket_t idle(context, zmq::socket_type::pull);
    idle.set(zmq::sockopt::rcvhwm, 1);
    idle.set(zmq::sockopt::rcvbuf, 4096);
    Connect(context, idle, stream.Endpoint());
    // More than the socket buffers between them hold.
    for (uint32_t f = 0; f < 3000; ++f)
        Publish(stream, f);
    EXPECT_GT(stream.Sent(), kFrames);
    EXPECT_GT(stream.Dropped(), 0u);
    EXPECT_EQ(stream.Sent() + stream.Dropped(), kFrames + 3000);
}

// Only hosts of the view list get frames; the others are refused and counted.
TEST(FrameStream, ViewHostsRefuseOtherAddresses) {
    CFrameStream stream;
    Start(stream, "PUB", 8, "127.0.0.2");
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
    std::vector<zmq::message_t> m;
    for (uint32_t f = 0; f < 200 && frames < 5; ++f, m.clear()) {
        Publish(stream, f);
        if (zmq::recv_multipart(allowed, std::back_inserter(m)))
            frames += Frame(m) >= 0;
    }
    EXPECT_EQ(frames, 5);
    EXPECT_FALSE(zmq::recv_multipart(other, std::back_inserter(m)));
    EXPECT_GE(stream.Refused(), 1u);
}
