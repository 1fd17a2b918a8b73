#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zeft/ZeftTypes.h"

// The layer's wire format (docs/zeft-protocol.md): every message is a 16-byte header and a
// body, integers little-endian. Parsing never trusts a length: every field is checked
// against what is left of the buffer and against the limits of the reader. Pure
// functions; any thread.

constexpr uint32_t kZeftMagic = 0x5446455A;  // "ZEFT" in byte order
constexpr uint8_t kZeftVersion = 1;
constexpr size_t kZeftHeaderSize = 16;
// Fixed part of a call body before its names.
constexpr size_t kZeftCallFixedSize = 24;
// Fixed part of a reply body before its message.
constexpr size_t kZeftReplyFixedSize = 13;

enum class ZeftMsgType : uint8_t {
    Call = 1,     // one request, one reply
    Monitor = 2,  // subscribe: a reply for every run of the contract
    Cancel = 3,   // end the monitor with the header's id; no body
    Reply = 4,
};

// Flag of a reply: no further reply follows for this id.
constexpr uint16_t kZeftFlagFinal = 1;

struct ZeftWireHeader {
    ZeftMsgType type = ZeftMsgType::Call;
    uint16_t flags = 0;
    uint32_t id = 0;
    uint32_t bodyLength = 0;
};

// A call or monitor request.
struct ZeftWireCall {
    int16_t access = 0;
    uint16_t requestFormat = kZeftFormatNone;
    uint32_t requestCount = 0;
    uint16_t replyFormat = kZeftFormatNone;  // what the client wants; the server sends its own
    uint32_t replyCapacity = 0;
    uint32_t intervalMs = 0;  // monitors only
    std::string context;
    std::string equipment;  // empty: whichever control serves the device
    std::string device;
    std::string property;
    std::vector<uint8_t> data;  // request data, requestCount elements
};

struct ZeftWireReply {
    int16_t status = kZeftOk;
    uint16_t format = kZeftFormatNone;
    uint32_t count = 0;
    std::string message;
    std::vector<uint8_t> data;
};

// The request data of `call` as a person reads it: texts as they are, numbers in
// decimal separated by spaces, records in hex. Stops soon after `max` characters.
std::string ZeftRequestText(const ZeftWireCall& call, size_t max);

// Checks magic, version and type and reads the header from `p` (kZeftHeaderSize bytes).
// False for anything that is not a header of this protocol.
bool ZeftParseHeader(const uint8_t* p, ZeftWireHeader* out);
void ZeftWriteHeader(uint8_t* p, const ZeftWireHeader& h);

// Whether `length` bytes of `format` hold exactly `count` elements.
bool ZeftDataLengthValid(uint16_t format, uint32_t count, size_t length);

// Body parsers: kZeftOk, or kZeftProtocolError for a malformed body (wrong lengths, a
// name that is too long, empty or not printable, trailing bytes). Values that are
// well-formed but unacceptable (unknown format, bad access) are left to the caller.
int16_t ZeftParseCall(const uint8_t* body, size_t length, ZeftWireCall* out);
int16_t ZeftParseReply(const uint8_t* body, size_t length, ZeftWireReply* out);

// Whole messages (header and body).
std::vector<uint8_t> ZeftEncodeCall(ZeftMsgType type, uint32_t id, const ZeftWireCall& call);
std::vector<uint8_t> ZeftEncodeCancel(uint32_t id);
// Reply body only, so one body can follow several headers.
std::vector<uint8_t> ZeftEncodeReplyBody(int16_t status, const char* message, uint16_t format,
                                         uint32_t count, const uint8_t* data, size_t length);
std::vector<uint8_t> ZeftEncodeReply(uint32_t id, uint16_t flags, const ZeftWireReply& reply);
// Body of a reply the layer gives itself (a refusal), with the code's text as message.
std::vector<uint8_t> ZeftRefusalBody(int16_t status);

// Whether a name is usable: 1 to kZeftMaxName printable ASCII characters without blanks
// (`allowEmpty` admits the empty name).
bool ZeftNameValid(const std::string& name, bool allowEmpty = false);
