// Feeds a byte stream to the control-system message parser as the server and the client
// read it: header by header, each body parsed by its type. Every accepted message must
// encode back to what was parsed, and every accepted reply must convert into buffers of
// each format without writing past them.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zeft/ZeftClient.h"
#include "zeft/ZeftProtocol.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void CheckReply(const ZeftWireHeader& h, const uint8_t* body, size_t length) {
    ZeftWireReply r;
    if (ZeftParseReply(body, length, &r) != kZeftOk)
        return;
    std::vector<uint8_t> again = ZeftEncodeReply(h.id, h.flags, r);
    ZeftWireReply r2;
    Check(ZeftParseReply(again.data() + kZeftHeaderSize, again.size() - kZeftHeaderSize, &r2) ==
          kZeftOk);
    Check(r2.status == r.status && r2.format == r.format && r2.count == r.count &&
          r2.message == r.message && r2.data == r.data);
    const uint16_t formats[] = {kZeftFormatDouble, kZeftFormatByte, kZeftFormatInt,
                                kZeftFormatChar,   kZeftFormatText, kZeftFormatRecord};
    for (uint16_t f : formats) {
        for (uint32_t capacity : {0u, 1u, 3u, 64u}) {
            // Exactly the capacity, so AddressSanitizer sees any write past it.
            size_t bytes = f == kZeftFormatText ? capacity : capacity * ZeftElementSize(f);
            std::vector<uint8_t> buffer(bytes);
            uint32_t count = 0;
            if (ZeftConvertReply(r, buffer.data(), f, capacity, &count) == kZeftOk)
                Check(count <= (f == kZeftFormatText ? 1u : capacity));
        }
    }
}

void CheckCall(const ZeftWireHeader& h, const uint8_t* body, size_t length) {
    ZeftWireCall c;
    if (ZeftParseCall(body, length, &c) != kZeftOk)
        return;
    std::vector<uint8_t> again = ZeftEncodeCall(h.type, h.id, c);
    Check(again.size() == kZeftHeaderSize + length);
    ZeftWireCall c2;
    Check(ZeftParseCall(again.data() + kZeftHeaderSize, length, &c2) == kZeftOk);
    Check(c2.access == c.access && c2.requestFormat == c.requestFormat &&
          c2.requestCount == c.requestCount && c2.context == c.context &&
          c2.equipment == c.equipment && c2.device == c.device && c2.property == c.property &&
          c2.data == c.data && c2.intervalMs == c.intervalMs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t pos = 0;
    while (size - pos >= kZeftHeaderSize) {
        ZeftWireHeader h;
        if (!ZeftParseHeader(data + pos, &h))
            break;
        size_t left = size - pos - kZeftHeaderSize;
        if (h.bodyLength > left)
            break;
        const uint8_t* body = data + pos + kZeftHeaderSize;
        if (h.type == ZeftMsgType::Reply)
            CheckReply(h, body, h.bodyLength);
        else if (h.type == ZeftMsgType::Call || h.type == ZeftMsgType::Monitor)
            CheckCall(h, body, h.bodyLength);
        pos += kZeftHeaderSize + h.bodyLength;
    }
    return 0;
}
