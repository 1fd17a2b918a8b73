#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "config/Settings.h"
#include "control/FrameTransfer.h"
#include "net/FrameServer.h"
#include "stream/FrameStream.h"
#include "web/WebServer.h"

class ILogSink;
class IMessagePoster;

// The server's frame channels: Lossless and Lossy on their ports, the lossless frames
// for control-system clients (frame transfer), the web server and the stream for analysis
// farms, started and stopped together from one network-settings value. Owned by the main
// controller; main thread only.
class CFrameChannels {
  public:
    // `transferActivity` runs on every frame request of a control-system client.
    CFrameChannels(IMessagePoster* poster, ILogSink* log, std::function<void()> transferActivity);
    ~CFrameChannels();
    CFrameChannels(const CFrameChannels&) = delete;
    CFrameChannels& operator=(const CFrameChannels&) = delete;

    // Lossless, with frame transfer under `frameEqpName` for frames of `frameBytes` pixel
    // bytes (without it the channel still serves its sockets), then Lossy when `settings`
    // enable it, then the web server and the stream. 1 when every frame channel asked for
    // listens, else 0: a web server or stream that cannot start has logged so and stays off.
    int Start(const NetworkSettings& settings, const std::string& frameEqpName,
              uint64_t frameBytes);
    void Stop();
    // Who may connect to the channels and the web server and who may POST to it, from the
    // next Start on; `trail` hears of every POST.
    void SetAccess(const CHostList& view, const CHostList& control,
                   std::shared_ptr<CWriteTrail> trail) {
        lossless_.SetViewHosts(view);
        lossy_.SetViewHosts(view);
        viewHosts_ = view;
        web_.SetAccess({view, control, std::move(trail)});
    }
    // Connections closed at accept because of the view hosts.
    uint64_t AccessRefused() const {
        return lossless_.GetRefusedCount() + lossy_.GetRefusedCount() + stream_.Refused();
    }

    // The settings of the last Start.
    const NetworkSettings& Settings() const { return settings_; }
    bool LossyEnabled() const { return settings_.LossyEnabled(); }
    bool LossyServing() const { return lossy_.IsStarted() != 0; }

    void DistributeLossless(const uint8_t* message, uint32_t length);
    // A lossy message goes to the Lossy channel when it serves, and its JPEG to the web.
    void DistributeLossy(const uint8_t* message, uint32_t length);
    // The oriented 8-bit gray frame, for the web.
    void DistributeFrame(uint32_t frameNumber, uint32_t width, uint32_t height,
                         const uint8_t* pixels);
    // Where the web server's writes and beam readers go; set before Start.
    void SetWebLinks(WebLinks links) { web_.SetLinks(links); }
    // Fills in what a streamed frame's header tells beyond the lossless header: orientation,
    // spot and beam. Called on this thread for every streamed frame; set before Start.
    void SetStreamContext(std::function<void(StreamFrameInfo&)> fill) {
        streamContext_ = std::move(fill);
    }
    // Whether a JPEG is needed although the Lossy channel is off.
    bool WebWantsJpeg() const { return web_.JpegWanted(); }

    // The client count fields of the window; shown once ShowClientCounts turned them on.
    void SetClientCountDisplays(std::function<void(int)> lossless, std::function<void(int)> lossy);
    void ShowClientCounts(bool lossless, bool lossy);

    WebStatus::Channel LosslessStats() const { return Stats(lossless_); }
    WebStatus::Channel LossyStats() const { return Stats(lossy_); }
    WebStatus::Channel WebStats() const;
    uint64_t StreamSent() const { return stream_.Sent(); }
    uint64_t StreamDropped() const { return stream_.Dropped(); }

    CFrameServer& Lossless() { return lossless_; }
    const CFrameServer& Lossless() const { return lossless_; }
    CLossyFrameServer& Lossy() { return lossy_; }
    const CLossyFrameServer& Lossy() const { return lossy_; }
    CFrameTransfer* Transfer() const { return transfer_.get(); }
    CWebServer& Web() { return web_; }
    const CFrameStream& Stream() const { return stream_; }

  private:
    // Clients connected now; sent and dropped since the start, clients that left included.
    static WebStatus::Channel Stats(const CFrameServerBase& server);

    IMessagePoster* poster_;
    ILogSink* log_;
    std::function<void()> transferActivity_;
    NetworkSettings settings_;
    CFrameServer lossless_;
    CLossyFrameServer lossy_;
    std::unique_ptr<CFrameTransfer> transfer_;
    CWebServer web_;
    CFrameStream stream_;
    CHostList viewHosts_;
    std::function<void(StreamFrameInfo&)> streamContext_;
    // Raw frames copied for the stream until their lossless message names them (pool blocks).
    struct PendingFrame {
        uint32_t number;
        uint32_t width;
        uint32_t height;
        void* pixels;
    };
    std::deque<PendingFrame> pending_;
    void DropPending();
    void StreamLossless(const uint8_t* message, uint32_t length);
};
