#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "frame/PoolBlock.h"
#include "frame/SharedMessage.h"

class CSrv;
class ILogSink;
class IMessagePoster;

// Frames for control-system clients: a second server control, under the frame-transfer
// equipment name, serves device "device_0" with "FRAME.GET" (each new frame once, 607 in
// between) and "NONSCHED.GET" (the latest frame whenever asked). The lossless channel hands
// it every message it distributes. Main thread only.
class CFrameTransfer {
  public:
    static constexpr const char* kDevice = "device_0";

    // `activity` runs on every frame request (the window shows a fetching client).
    CFrameTransfer(IMessagePoster* poster, ILogSink* log, std::function<void()> activity);
    ~CFrameTransfer();
    CFrameTransfer(const CFrameTransfer&) = delete;
    CFrameTransfer& operator=(const CFrameTransfer&) = delete;

    // Serves frames of `frameBytes` pixel bytes under `name`. 1 on success (also when
    // already started), 0 on failure (logged).
    int StartTransfer(const std::string& name, uint32_t frameBytes);
    int StopTransfer();
    // Holds the lossless message (the channel's shared copy: no copy here) and wakes
    // "FRAME.GET" subscribers. 0 when not started, or when the message is longer than a
    // reply may be (counted: it could never be sent whole).
    int SendFrame(const CSharedMessageRef& message);
    void OnPropertyCall(const std::string& device, const std::string& property);

    bool IsStarted() const { return started_; }
    uint64_t RefusedFrames() const { return refused_; }

  private:
    void Reply(bool consume);

    std::unique_ptr<CSrv> control_;
    ILogSink* log_;
    std::function<void()> activity_;
    bool started_ = false;
    CSharedMessageRef held_;  // the latest frame
    bool newFrame_ = false;
    CPoolBlock transmit_;  // reply buffer, sized once at start
    uint64_t refused_ = 0;
};
