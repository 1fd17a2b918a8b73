#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

#include "base/MessageQueue.h"
#include "frame/FrameHeader.h"
#include "frame/LosslessRecord.h"
#include "net/FrameServer.h"
#include "tests/support/FrameHeaders.h"

// Messages whose payload bytes depend on the frame number.
inline std::vector<uint8_t> MakeRawMessage(uint32_t frameNumber, uint32_t width, uint32_t height) {
    FrameHeader h = TestFrameHeader(width, height, frameNumber);
    h.scale = 1.5;
    std::vector<uint8_t> pixels(width * height);
    for (uint32_t i = 0; i < width * height; ++i)
        pixels[i] = static_cast<uint8_t>(i * 7 + frameNumber * 13);
    return MakeRawRecord(h, pixels.data());
}

inline std::vector<uint8_t> MakeJpegMessage(uint32_t frameNumber, uint32_t dataLength,
                                            const char* camera) {
    JpegFrameHeader h;
    h.totalLength = kFrameHeaderSize + dataLength;
    h.dataLength = dataLength;
    h.frameNumber = frameNumber;
    h.width = 64;
    h.height = 48;
    SetCameraName(h, camera);
    std::vector<uint8_t> m(h.totalLength);
    WriteHeader(m.data(), h);
    for (uint32_t i = 0; i < dataLength; ++i)
        m[kFrameHeaderSize + i] = static_cast<uint8_t>(i ^ frameNumber);
    return m;
}

// A compressed lossless message whose format block and codec data are all 0x5A.
inline std::vector<uint8_t> MakeCompressedMessage(uint32_t frameNumber, uint32_t formatLength,
                                                  uint32_t dataLength) {
    FrameHeader h = TestFrameHeader(640, 480, frameNumber);
    const std::vector<uint8_t> fill(formatLength + dataLength, 0x5A);
    return MakeCompressedRecord(h, fill.data(), formatLength, fill.data(), dataLength);
}

inline int CountThreads() {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// Plays the main thread for the servers: runs the tasks they post (among them the removal
// of a session whose client has gone).
class MainThread {
  public:
    explicit MainThread(CMessageQueue& queue) : queue_(queue) {}

    void Pump(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
        queue_.WaitAndPump([](const PostedMessage&) {}, wait);
    }

    template <typename Pred>
    bool WaitUntil(Pred pred, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (; !pred(); Pump(std::chrono::milliseconds(10)))
            if (std::chrono::steady_clock::now() > end)
                return false;
        return true;
    }

    // Waits until `n` clients are counted and listed: the count goes up just before
    // the session joins the list, and only listed sessions get messages.
    bool WaitForClients(CFrameServerBase& s, int n) {
        return WaitUntil([&] {
            return s.GetClientCount() == n && static_cast<int>(s.GetSessionStats().size()) == n;
        });
    }

  private:
    CMessageQueue& queue_;
};
