#include "core/FrameChannels.h"

#include <cstring>

#include "base/LogSink.h"
#include "base/Version.h"
#include "frame/BufferPool.h"
#include "frame/FrameHeader.h"

namespace {
// Raw frames whose lossless message has not come yet: more than the lossless records that
// can be in flight at once (up to 4 encoder workers, and the frame being handed on).
constexpr size_t kMaxPendingFrames = 8;
}  // namespace

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
    stream_.Stop();
    DropPending();
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
    if (settings.stream.enabled) {
        if (auto started = stream_.Start(settings.stream, viewHosts_))
            LogMessage(log_, "Stream on %s (%s, %s).", stream_.Endpoint().c_str(),
                       settings.stream.pattern.c_str(), settings.stream.content.c_str());
        else
            LogMessage(log_, "Stream not started: %s.", started.Message().c_str());
    }
    return result;
}

void CFrameChannels::Stop() {
    stream_.Stop();
    DropPending();
    web_.Stop();
    lossless_.Stop();
    transfer_.reset();
    lossy_.Stop();  // nothing to do when it was never started
}

void CFrameChannels::DistributeLossless(const uint8_t* message, uint32_t length) {
    lossless_.Distribute(message, length);
    if (stream_.IsStarted())
        StreamLossless(message, length);
}

void CFrameChannels::DropPending() {
    for (const PendingFrame& p : pending_)
        g_BufferPool.Free(p.pixels);
    pending_.clear();
}

void CFrameChannels::StreamLossless(const uint8_t* message, uint32_t length) {
    if (length < kFrameHeaderSize)
        return;
    const FrameHeader h = ReadHeader<FrameHeader>(message);
    StreamFrameInfo info;
    info.frame = h.frameNumber;
    info.timestamp = h.time + h.millitm / 1000.0;
    info.width = h.width;
    info.height = h.height;
    info.scale = h.scale;
    if (streamContext_)
        streamContext_(info);
    if (stream_.RawContent()) {
        // Frames before this one that never got their message will not get it now.
        while (!pending_.empty() && pending_.front().number != h.frameNumber) {
            g_BufferPool.Free(pending_.front().pixels);
            pending_.pop_front();
            stream_.CountDropped();
        }
        if (pending_.empty() || pending_.front().width != h.width ||
            pending_.front().height != h.height) {
            stream_.CountDropped();
            return;
        }
        const PendingFrame p = pending_.front();
        pending_.pop_front();
        stream_.Publish(info, CFrameStream::Encoding::kRaw, p.pixels, size_t{p.width} * p.height);
        return;
    }
    const uint64_t body = uint64_t{h.formatLength} + h.dataLength;
    void* copy = body > 0 && body <= length - kFrameHeaderSize
                     ? g_BufferPool.Alloc(static_cast<uint32_t>(body))
                     : nullptr;
    if (copy == nullptr) {
        stream_.CountDropped();
        return;
    }
    std::memcpy(copy, message + kFrameHeaderSize, body);
    stream_.Publish(info,
                    h.compressed ? CFrameStream::Encoding::kHuffyuv : CFrameStream::Encoding::kRaw,
                    copy, body, h.compressed ? h.formatLength : 0);
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
    if (!stream_.IsStarted() || !stream_.RawContent())
        return;
    if (pending_.size() == kMaxPendingFrames) {
        g_BufferPool.Free(pending_.front().pixels);
        pending_.pop_front();
        stream_.CountDropped();
    }
    const uint64_t bytes = uint64_t{width} * height;
    void* copy = bytes > 0 && bytes <= UINT32_MAX ? g_BufferPool.Alloc(uint32_t(bytes)) : nullptr;
    if (copy == nullptr) {
        stream_.CountDropped();
        return;
    }
    std::memcpy(copy, pixels, bytes);
    pending_.push_back({frameNumber, width, height, copy});
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
