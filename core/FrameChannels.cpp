#include "core/FrameChannels.h"

#include "base/Version.h"
#include "frame/FrameHeader.h"

CFrameChannels::CFrameChannels(IMessagePoster* poster, ILogSink* log,
                               std::function<void()> transferActivity)
    : poster_(poster),
      log_(log),
      transferActivity_(std::move(transferActivity)),
      lossless_(poster, log),
      lossy_(poster, log),
      web_(log, kLumerixVersion) {
    // Every lossless message also goes to the control system's frame transfer.
    lossless_.SetMessageSink([this](const CSharedMessageRef& m) {
        if (transfer_)
            transfer_->SendFrame(m);
    });
}

CFrameChannels::~CFrameChannels() {
    web_.Stop();
    lossless_.Stop();
    lossy_.Stop();
}

int CFrameChannels::Start(const NetworkSettings& settings, const std::string& frameEqpName,
                          uint64_t frameBytes) {
    settings_ = settings;
    int result = 1;
    if (!lossless_.Start(static_cast<uint16_t>(settings.listenPort), settings.maxClients)) {
        result = 0;
    } else {
        transfer_ = std::make_unique<CFrameTransfer>(poster_, log_, transferActivity_);
        if (!transfer_->StartTransfer(frameEqpName, static_cast<uint32_t>(frameBytes))) {
            transfer_->StopTransfer();
            transfer_.reset();
        }
    }
    if (settings.LossyEnabled() &&
        !lossy_.Start(static_cast<uint16_t>(settings.listenPortLossy), settings.maxClientsLossy))
        result = 0;
    web_.Start(settings.http);
    return result;
}

void CFrameChannels::Stop() {
    web_.Stop();
    lossless_.Stop();
    transfer_.reset();
    lossy_.Stop();  // nothing to do when it was never started
}

void CFrameChannels::DistributeLossless(const uint8_t* message, uint32_t length) {
    lossless_.Distribute(message, length);
}

void CFrameChannels::DistributeLossy(const uint8_t* message, uint32_t length) {
    if (lossy_.IsStarted())
        lossy_.Distribute(message, length);
    if (length < kFrameHeaderSize)
        return;
    const JpegFrameHeader header = ReadHeader<JpegFrameHeader>(message);
    if (header.dataLength <= length - kFrameHeaderSize)
        web_.PublishJpeg(header.frameNumber, message + kFrameHeaderSize, header.dataLength);
}

void CFrameChannels::DistributeFrame(uint32_t frameNumber, uint32_t width, uint32_t height,
                                     const uint8_t* pixels) {
    web_.PublishFrame(frameNumber, width, height, pixels);
}

WebStatus::Channel CFrameChannels::WebStats() const {
    return web_.Stats();
}

void CFrameChannels::SetClientCountDisplays(std::function<void(int)> lossless,
                                            std::function<void(int)> lossy) {
    lossless_.SetClientCountDisplay(std::move(lossless));
    lossy_.SetClientCountDisplay(std::move(lossy));
}

void CFrameChannels::ShowClientCounts(bool lossless, bool lossy) {
    if (lossless)
        lossless_.SetShowClientCount(1);
    if (lossy)
        lossy_.SetShowClientCount(1);
}

WebStatus::Channel CFrameChannels::Stats(const CFrameServerBase& server) {
    WebStatus::Channel c;
    c.sent = server.DepartedSent();
    c.dropped = server.DepartedDropped();
    for (const CFrameServerBase::SessionStats& s : server.GetSessionStats()) {
        ++c.clients;
        c.sent += s.sent;
        c.dropped += s.dropped;
    }
    return c;
}
