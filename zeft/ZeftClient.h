#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "zeft/ZeftProtocol.h"

// Client side of the layer: address resolution through the names file, single calls
// with their raw reply, and monitors. Any thread; one CZeftMonitor per thread.

// The layer's names file, a key file of sections named by context whose keys are server
// names and whose values are "HOST:PORT":
//   [TAVO]
//   CAM7=127.0.0.1:32111
// Looked up in the program directory (the directory of the running executable) unless
// ZeftSetNamesFile names another one.
constexpr const char* kZeftNamesFile = "zeftnames.cfg";
void ZeftSetNamesFile(const std::string& directory, const std::string& fileName = kZeftNamesFile);

struct ZeftAddress {
    std::string context;
    std::string server;  // as written; empty when given as HOST:PORT
    std::string device;
    std::string host;
    uint16_t port = 0;
};

// Parses "/CONTEXT/SERVER/DEVICE" and resolves SERVER. kZeftOk, or kZeftUnknownName for
// a malformed address or a server the names file does not know.
int16_t ZeftResolveAddress(const char* address, ZeftAddress* out);

// Request of a call as the client gives it.
struct ZeftRequest {
    uint16_t format = kZeftFormatNone;
    uint32_t count = 0;
    std::vector<uint8_t> data;
};

// One call with the server's reply as it came (format, count, data, message). The
// return value is the call's status: the reply's, or a negative code of the layer.
// `maxReplyBytes` bounds the reply data this caller accepts.
int16_t ZeftCall(const char* address, const char* property, const ZeftRequest& request,
                 int16_t access, int32_t timeoutMs, ZeftWireReply* reply,
                 uint64_t maxReplyBytes = kZeftMaxReplyBytes);

// Converts a raw reply into a caller's buffer (the rules of ExecLinkEx).
int16_t ZeftConvertReply(const ZeftWireReply& reply, void* data, uint16_t format, uint32_t capacity,
                         uint32_t* count);

// A monitor held by a client: a connection of its own that receives one reply per run of
// the server's contract. Not thread-safe: one thread uses it.
class CZeftMonitor {
  public:
    CZeftMonitor() = default;
    ~CZeftMonitor();
    CZeftMonitor(const CZeftMonitor&) = delete;
    CZeftMonitor& operator=(const CZeftMonitor&) = delete;

    // Subscribes to `property` at `address`, run every `intervalMs` (0: only when the
    // server schedules the property). kZeftOk once the request is sent; a refusal arrives
    // as the first reply.
    int16_t Open(const char* address, const char* property, const ZeftRequest& request,
                 int16_t access, uint32_t intervalMs, int32_t timeoutMs,
                 uint64_t maxReplyBytes = kZeftMaxReplyBytes);
    // Waits up to `timeoutMs` for the next reply. Returns kZeftOk with the reply (whose
    // own status may be an error), kZeftTimeout, or a failure of the connection.
    int16_t Next(int32_t timeoutMs, ZeftWireReply* reply);
    // True once the server said no more replies follow.
    bool Ended() const { return ended_; }
    // Cancels the subscription and closes the connection.
    void Close();

  private:
    UniqueFd fd_;
    uint32_t id_ = 1;
    uint64_t maxReplyBytes_ = 0;
    bool ended_ = false;
};

// Blocking helpers on a connected socket with a deadline in milliseconds since an
// arbitrary epoch (ZeftNowMs). Shared by the client, tools and tests.
int64_t ZeftNowMs();
int16_t ZeftConnect(const std::string& host, uint16_t port, int64_t deadline, UniqueFd* out);
int16_t ZeftSendAll(int fd, const uint8_t* data, size_t length, int64_t deadline);
// Reads one whole message; bodies longer than `maxBody` fail with kZeftProtocolError.
int16_t ZeftReadMessage(int fd, int64_t deadline, size_t maxBody, ZeftWireHeader* header,
                        std::vector<uint8_t>* body);
