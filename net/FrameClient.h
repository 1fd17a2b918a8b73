#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame/FrameHeader.h"
#include "net/TcpSocket.h"

// The client side of the two frame channels: reads the message stream of the Lossless or
// Lossy channel and refuses anything that is not a well-formed message. For viewers,
// tests and tools; nothing of the server uses it.

// Larger totals are refused: no sane frame comes near it, and a client must not be made
// to allocate whatever a broken peer announces.
constexpr uint32_t kMaxMessageLength = 256u * 1024 * 1024;

enum class MessageKind { Lossless, Lossy };

// The header fields of one message as a client sees them.
struct MessageInfo {
    MessageKind kind = MessageKind::Lossless;
    uint32_t totalLength = 0;
    uint32_t dataLength = 0;
    uint32_t formatLength = 0;
    uint32_t frameNumber = 0;
    int32_t time = 0;
    uint16_t millitm = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool compressed = false;
    double frameRate = 0;  // lossless only
    double scale = 0;
    uint32_t bitsPerPixel = 0;
    uint32_t effectiveBits = 0;  // lossless only
    std::string cameraName;      // lossy only
};

// Checks one 88-byte header: magic, kind, a total length from 88 to kMaxMessageLength,
// and body lengths that add up to it (raw lossless: width x height bytes, no format
// block; compressed: a format block of at least 40 bytes; lossy: JPEG data only).
// 1 with `info` filled, or 0 with `error` saying why.
int ParseMessageHeader(const uint8_t* header, MessageInfo& info, std::string& error);

// One whole message: header and body as received.
struct FrameMessage {
    MessageInfo info;
    std::vector<uint8_t> bytes;

    const uint8_t* Format() const { return bytes.data() + kFrameHeaderSize; }
    // Raw pixels, codec data or JPEG data.
    const uint8_t* Data() const { return Format() + info.formatLength; }
};

// Where a reader gets its bytes: a count read, 0 at the end of the stream, -1 on error.
class IByteSource {
  public:
    virtual ~IByteSource() = default;
    virtual ssize_t Read(void* buffer, size_t length) = 0;
};

enum : int { kReadError = -1, kReadEnd = 0, kReadMessage = 1 };

// Reads the next message: kReadMessage, kReadEnd when the stream ends cleanly between
// messages, or kReadError with `error` set (a bad header, a stream that ends inside a
// message, a failing source). After an error the stream cannot be resynchronised.
int ReadMessage(IByteSource& source, FrameMessage& message, std::string& error);

// A connection to one frame channel. One thread at a time.
class CFrameClient : public IByteSource {
  public:
    // 1 when connected, 0 with `error` set.
    int Connect(const std::string& host, uint16_t port, std::string& error);
    // Makes a read that waits longer than `ms` fail (0: wait forever).
    void SetReceiveTimeout(int ms);
    int ReadMessage(FrameMessage& message, std::string& error) {
        return ::ReadMessage(*this, message, error);
    }
    void Close() { socket_.Close(); }
    int GetHandle() const { return socket_.GetHandle(); }

    ssize_t Read(void* buffer, size_t length) override;

  private:
    CTcpSocket socket_;
};
