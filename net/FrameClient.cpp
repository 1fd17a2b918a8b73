#include "net/FrameClient.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/LogSink.h"

namespace {

constexpr uint32_t kBitmapInfoHeaderSize = 40;
// The body is read in growing steps, so a header that lies about its length costs
// memory only as fast as bytes actually arrive.
constexpr size_t kReadStep = 4u * 1024 * 1024;

// 1 when `length` bytes were read, 0 when the stream ended before the first byte,
// -1 when it ended or failed later.
int ReadExact(IByteSource& source, uint8_t* buffer, size_t length, std::string& error) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = source.Read(buffer + got, length - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 && got == 0)
            return 0;
        if (n == 0)
            error = "connection closed inside a message";
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            error = "nothing received within the time-out";
        else
            error = std::string("receive failed: ") + std::strerror(errno);
        return -1;
    }
    return 1;
}

}  // namespace

int ParseMessageHeader(const uint8_t* header, MessageInfo& info, std::string& error) {
    auto h = ReadHeader<FrameHeader>(header);
    if (h.magic != kFrameMagic) {
        error = FormatLogText("not a frame message: magic 0x%08x", h.magic);
        return 0;
    }
    if (h.totalLength < kFrameHeaderSize || h.totalLength > kMaxMessageLength) {
        error = FormatLogText("bad total length %u", h.totalLength);
        return 0;
    }
    const uint64_t body = h.totalLength - kFrameHeaderSize;
    info = MessageInfo{};
    info.totalLength = h.totalLength;
    info.dataLength = h.dataLength;
    info.formatLength = h.formatLength;
    info.frameNumber = h.frameNumber;
    info.time = h.time;
    info.millitm = h.millitm;

    if (h.codec == kFourCCHfyu) {
        info.kind = MessageKind::Lossless;
        info.width = h.width;
        info.height = h.height;
        info.frameRate = h.frameRate;
        info.scale = h.scale;
        info.bitsPerPixel = h.bitsPerPixel;
        info.effectiveBits = h.effectiveBits;
        if (h.compressed > 1) {
            error = FormatLogText("bad compressed flag %u", h.compressed);
            return 0;
        }
        info.compressed = h.compressed == 1;
        if (uint64_t{h.formatLength} + h.dataLength != body) {
            error = FormatLogText("lengths do not add up: 88 + %u + %u != %u", h.formatLength,
                                  h.dataLength, h.totalLength);
            return 0;
        }
        if (!info.compressed &&
            (h.formatLength != 0 || uint64_t{h.width} * h.height != h.dataLength)) {
            error = FormatLogText("raw frame %ux%u does not match data length %u, format %u",
                                  h.width, h.height, h.dataLength, h.formatLength);
            return 0;
        }
        if (info.compressed && h.formatLength < kBitmapInfoHeaderSize) {
            error =
                FormatLogText("compressed frame with a format block of %u bytes", h.formatLength);
            return 0;
        }
        return 1;
    }
    if (h.codec == kFourCCJfif) {
        auto j = ReadHeader<JpegFrameHeader>(header);
        info.kind = MessageKind::Lossy;
        info.width = j.width;
        info.height = j.height;
        info.compressed = true;
        info.scale = j.scale;
        info.bitsPerPixel = j.bitsPerPixel;
        info.cameraName.assign(j.cameraName, strnlen(j.cameraName, sizeof j.cameraName));
        if (j.formatLength != 0 || j.dataLength != body) {
            error = FormatLogText("lengths do not add up: 88 + %u + %u != %u", j.formatLength,
                                  j.dataLength, j.totalLength);
            return 0;
        }
        return 1;
    }
    error = FormatLogText("unknown message kind 0x%08x", h.codec);
    return 0;
}

int ReadMessage(IByteSource& source, FrameMessage& message, std::string& error) {
    uint8_t header[kFrameHeaderSize];
    int rc = ReadExact(source, header, sizeof header, error);
    if (rc <= 0)
        return rc == 0 ? kReadEnd : kReadError;
    if (!ParseMessageHeader(header, message.info, error))
        return kReadError;
    message.bytes.assign(header, header + sizeof header);
    size_t total = message.info.totalLength;
    while (message.bytes.size() < total) {
        size_t got = message.bytes.size();
        size_t step = std::min(total - got, std::max(got, kReadStep));
        message.bytes.resize(got + step);
        if (ReadExact(source, message.bytes.data() + got, step, error) != 1) {
            if (error.empty())
                error = "connection closed inside a message";
            return kReadError;
        }
    }
    return kReadMessage;
}

int CFrameClient::Connect(const std::string& host, uint16_t port, std::string& error) {
    socket_.Close();
    if (!socket_.Connect(host.c_str(), port)) {
        error = socket_.GetErrorText();
        return 0;
    }
    return 1;
}

void CFrameClient::SetReceiveTimeout(int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(socket_.GetHandle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

ssize_t CFrameClient::Read(void* buffer, size_t length) {
    for (;;) {
        ssize_t n = ::recv(socket_.GetHandle(), buffer, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}
