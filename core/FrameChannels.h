#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/Settings.h"
#include "control/FrameTransfer.h"
#include "core/Health.h"
#include "net/FrameServer.h"

class ILogSink;
class IMessagePoster;

// The server's frame channels: Lossless and Lossy on their ports, and the lossless frames
// for control-system clients (frame transfer), started and stopped together from one
// network-settings value. Owned by the main controller; main thread only.
class CFrameChannels {
  public:
    // `transferActivity` runs on every frame request of a control-system client.
    CFrameChannels(IMessagePoster* poster, ILogSink* log, std::function<void()> transferActivity);
    ~CFrameChannels();
    CFrameChannels(const CFrameChannels&) = delete;
    CFrameChannels& operator=(const CFrameChannels&) = delete;

    // Lossless, with frame transfer under `frameEqpName` for frames of `frameBytes` pixel
    // bytes (without it the channel still serves its sockets), then Lossy when `settings`
    // enable it. 1 when every channel asked for listens, else 0.
    int Start(const NetworkSettings& settings, const std::string& frameEqpName,
              uint64_t frameBytes);
    void Stop();
    // Who may connect to either channel, from the next Start on.
    void SetViewHosts(const CHostList& hosts) {
        lossless_.SetViewHosts(hosts);
        lossy_.SetViewHosts(hosts);
    }
    // Connections closed at accept because of the view hosts.
    uint64_t AccessRefused() const {
        return lossless_.GetRefusedCount() + lossy_.GetRefusedCount();
    }

    // The settings of the last Start.
    const NetworkSettings& Settings() const { return settings_; }
    bool LossyEnabled() const { return settings_.LossyEnabled(); }
    bool LossyServing() const { return lossy_.IsStarted() != 0; }

    void DistributeLossless(const uint8_t* message, uint32_t length);
    void DistributeLossy(const uint8_t* message, uint32_t length);

    // The client count fields of the window; shown once ShowClientCounts turned them on.
    void SetClientCountDisplays(std::function<void(int)> lossless, std::function<void(int)> lossy);
    void ShowClientCounts(bool lossless, bool lossy);

    HealthCounters::Channel LosslessStats() const { return Stats(lossless_); }
    HealthCounters::Channel LossyStats() const { return Stats(lossy_); }

    CFrameServer& Lossless() { return lossless_; }
    const CFrameServer& Lossless() const { return lossless_; }
    CLossyFrameServer& Lossy() { return lossy_; }
    const CLossyFrameServer& Lossy() const { return lossy_; }
    CFrameTransfer* Transfer() const { return transfer_.get(); }

  private:
    static HealthCounters::Channel Stats(const CFrameServerBase& server);

    IMessagePoster* poster_;
    ILogSink* log_;
    std::function<void()> transferActivity_;
    NetworkSettings settings_;
    CFrameServer lossless_;
    CLossyFrameServer lossy_;
    std::unique_ptr<CFrameTransfer> transfer_;
};
