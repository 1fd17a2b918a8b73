#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/HostList.h"
#include "base/Result.h"
#include "config/Settings.h"

// What the header of one streamed frame says besides its size.
struct StreamFrameInfo {
    uint32_t frame = 0;
    double timestamp = 0;  // seconds since 1970-01-01 UTC
    uint32_t width = 0;
    uint32_t height = 0;
    std::string orientation;
    double scale = 1.0;
    double spot[4] = {-1, -1, -1, -1};  // x, y, sx, sy in pixels; -1 before the first
    // The newest beam result as JSON (the status's rendering), of a neighbouring frame: the
    // beam is measured on a thread of its own while lossless records are still encoded.
    // Empty before the first.
    std::string beamJson;
};

// The frames for analysis farms: each frame one two-part message (a JSON header, then the
// pixel bytes) on a ZeroMQ PUSH (shared among workers) or PUB (to every subscriber) socket.
// Sending never waits: a frame no peer can take now is dropped and counted. With a view
// list that does not allow everyone, a ZAP handler thread checks each peer's address.
// Owned by the frame channels; Start, Stop and Publish on one thread, the counters on any.
class CFrameStream {
  public:
    enum class Encoding { kRaw, kHuffyuv };

    CFrameStream() = default;
    ~CFrameStream() { Stop(); }
    CFrameStream(const CFrameStream&) = delete;
    CFrameStream& operator=(const CFrameStream&) = delete;

    // Binds the endpoint of `settings` (which must be enabled). Fails with the reason (one
    // sentence; ZeroMQ's errno as the code) for an unknown pattern or content, or an
    // endpoint that cannot be bound; the stream then stays off.
    CResult<> Start(const StreamSettings& settings, const CHostList& view);
    void Stop();
    bool IsStarted() const { return socket_ != nullptr; }
    bool RawContent() const { return raw_; }
    // The bound endpoint, the port resolved ("tcp://0.0.0.0:31779").
    const std::string& Endpoint() const { return endpoint_; }

    // Sends one frame. `payload` is a block of `bytes` bytes from g_BufferPool that the
    // stream owns from here on (freed once sent or dropped): a reused block costs no page
    // faults. `formatLength`: bytes of the payload that
    // are the HuffYUV format block before the compressed data (0 for raw pixels).
    void Publish(const StreamFrameInfo& info, Encoding encoding, void* payload, size_t bytes,
                 uint32_t formatLength = 0);
    // Counts a frame the caller could not hand over.
    void CountDropped() { dropped_.fetch_add(1, std::memory_order_relaxed); }

    uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Connections refused by the view list.
    uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }

  private:
    // Answers ZAP requests until the context shuts down.
    void RunZap(void* zap);

    void* context_ = nullptr;
    void* socket_ = nullptr;
    bool raw_ = true;
    std::string endpoint_;
    CHostList view_;  // read by the ZAP thread, set before it starts
    std::thread zap_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> refused_{0};
    std::string header_;  // reused for every frame
};
