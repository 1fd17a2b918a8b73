#include "zeft/ZeftProtocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/LittleEndian.h"

namespace {

// Reads bounded fields from a body; any read past its end marks it failed.
class Reader {
  public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool Ok() const { return ok_; }
    bool AtEnd() const { return pos_ == n_; }
    size_t Left() const { return n_ - pos_; }
    uint8_t U8() { return Need(1) ? p_[pos_++] : 0; }
    uint16_t U16() {
        if (!Need(2))
            return 0;
        uint16_t v = LoadLE16(p_ + pos_);
        pos_ += 2;
        return v;
    }
    uint32_t U32() {
        if (!Need(4))
            return 0;
        uint32_t v = LoadLE32(p_ + pos_);
        pos_ += 4;
        return v;
    }
    const uint8_t* Bytes(size_t count) {
        if (!Need(count))
            return nullptr;
        const uint8_t* at = p_ + pos_;
        pos_ += count;
        return at;
    }
    // A length-prefixed name (one byte of length).
    bool Name(std::string* out, bool allowEmpty) {
        size_t len = U8();
        const uint8_t* at = Bytes(len);
        if (!ok_)
            return false;
        out->assign(reinterpret_cast<const char*>(at), len);
        if (!ZeftNameValid(*out, allowEmpty))
            ok_ = false;
        return ok_;
    }

  private:
    bool Need(size_t count) {
        if (!ok_ || count > n_ - pos_)
            ok_ = false;
        return ok_;
    }
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

void AppendName(std::vector<uint8_t>& out, const std::string& name) {
    size_t len = name.size() > kZeftMaxName ? kZeftMaxName : name.size();
    out.push_back(static_cast<uint8_t>(len));
    out.insert(out.end(), name.begin(), name.begin() + static_cast<ptrdiff_t>(len));
}

}  // namespace

uint32_t ZeftElementSize(uint16_t format) {
    switch (format) {
        case kZeftFormatDouble:
            return 8;
        case kZeftFormatByte:
        case kZeftFormatChar:
            return 1;
        case kZeftFormatInt:
            return 4;
        case kZeftFormatRecord:
            return kZeftRecordSize;
        default:
            return 0;
    }
}

std::string ZeftRequestText(const ZeftWireCall& call, size_t max) {
    const std::vector<uint8_t>& d = call.data;
    if (call.requestFormat == kZeftFormatText || call.requestFormat == kZeftFormatChar)
        return std::string(d.begin(),
                           d.begin() + static_cast<ptrdiff_t>(std::min(d.size(), max + 1)));
    const uint32_t size = ZeftElementSize(call.requestFormat);
    std::string text;
    char item[40];
    for (size_t at = 0; size != 0 && at + size <= d.size() && text.size() <= max; at += size) {
        const uint8_t* p = d.data() + at;
        switch (call.requestFormat) {
            case kZeftFormatDouble:
                std::snprintf(item, sizeof item, "%.15g", LoadLEDouble(p));
                break;
            case kZeftFormatInt:
                std::snprintf(item, sizeof item, "%d", static_cast<int32_t>(LoadLE32(p)));
                break;
            case kZeftFormatByte:
                std::snprintf(item, sizeof item, "%u", p[0]);
                break;
            default:
                for (uint32_t i = 0; i < size; ++i)
                    std::snprintf(item + 2 * i, 3, "%02x", p[i]);
                break;
        }
        if (!text.empty())
            text += ' ';
        text += item;
    }
    return text;
}

bool ZeftFormatKnown(uint16_t format) {
    return format == kZeftFormatText || ZeftElementSize(format) != 0;
}

bool ZeftNameValid(const std::string& name, bool allowEmpty) {
    if (name.empty())
        return allowEmpty;
    if (name.size() > kZeftMaxName)
        return false;
    for (unsigned char c : name) {
        if (c <= 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

bool ZeftDataLengthValid(uint16_t format, uint32_t count, size_t length) {
    if (count == 0)
        return length == 0;
    if (format == kZeftFormatText)
        return count == 1 && length <= kZeftMaxText;
    uint32_t size = ZeftElementSize(format);
    if (size == 0)
        return false;
    return static_cast<uint64_t>(count) * size == length;
}

bool ZeftParseHeader(const uint8_t* p, ZeftWireHeader* out) {
    if (LoadLE32(p) != kZeftMagic || p[4] != kZeftVersion)
        return false;
    uint8_t type = p[5];
    if (type < static_cast<uint8_t>(ZeftMsgType::Call) ||
        type > static_cast<uint8_t>(ZeftMsgType::Reply))
        return false;
    out->type = static_cast<ZeftMsgType>(type);
    out->flags = LoadLE16(p + 6);
    out->id = LoadLE32(p + 8);
    out->bodyLength = LoadLE32(p + 12);
    return true;
}

void ZeftWriteHeader(uint8_t* p, const ZeftWireHeader& h) {
    StoreLE32(p, kZeftMagic);
    p[4] = kZeftVersion;
    p[5] = static_cast<uint8_t>(h.type);
    StoreLE16(p + 6, h.flags);
    StoreLE32(p + 8, h.id);
    StoreLE32(p + 12, h.bodyLength);
}

int16_t ZeftParseCall(const uint8_t* body, size_t length, ZeftWireCall* out) {
    Reader r(body, length);
    out->access = static_cast<int16_t>(r.U16());
    out->requestFormat = r.U16();
    out->requestCount = r.U32();
    uint32_t dataLength = r.U32();
    out->replyFormat = r.U16();
    r.U16();  // reserved
    out->replyCapacity = r.U32();
    out->intervalMs = r.U32();
    if (!r.Name(&out->context, true) || !r.Name(&out->equipment, true) ||
        !r.Name(&out->device, false) || !r.Name(&out->property, false))
        return kZeftProtocolError;
    if (dataLength != r.Left())
        return kZeftProtocolError;
    // An unknown format cannot be checked here; the server refuses it with its own code.
    if (ZeftFormatKnown(out->requestFormat) &&
        !ZeftDataLengthValid(out->requestFormat, out->requestCount, dataLength))
        return kZeftProtocolError;
    const uint8_t* data = r.Bytes(dataLength);
    if (!r.Ok() || !r.AtEnd())
        return kZeftProtocolError;
    out->data.assign(data, data + dataLength);
    return kZeftOk;
}

int16_t ZeftParseReply(const uint8_t* body, size_t length, ZeftWireReply* out) {
    Reader r(body, length);
    out->status = static_cast<int16_t>(r.U16());
    out->format = r.U16();
    out->count = r.U32();
    uint32_t dataLength = r.U32();
    size_t messageLength = r.U8();
    const uint8_t* message = r.Bytes(messageLength);
    if (!r.Ok() || dataLength != r.Left())
        return kZeftProtocolError;
    if (out->format == kZeftFormatNone ? (out->count != 0 || dataLength != 0)
                                       : !ZeftDataLengthValid(out->format, out->count, dataLength))
        return kZeftProtocolError;
    const uint8_t* data = r.Bytes(dataLength);
    if (!r.Ok() || !r.AtEnd())
        return kZeftProtocolError;
    // The message is shown to people: keep it to one printable line.
    out->message.clear();
    for (size_t i = 0; i < messageLength; ++i) {
        char c = static_cast<char>(message[i]);
        out->message.push_back((message[i] < 0x20 || message[i] == 0x7F) ? '?' : c);
    }
    out->data.assign(data, data + dataLength);
    return kZeftOk;
}

std::vector<uint8_t> ZeftEncodeCall(ZeftMsgType type, uint32_t id, const ZeftWireCall& call) {
    std::vector<uint8_t> out(kZeftHeaderSize + kZeftCallFixedSize);
    uint8_t* b = out.data() + kZeftHeaderSize;
    StoreLE16(b, static_cast<uint16_t>(call.access));
    StoreLE16(b + 2, call.requestFormat);
    StoreLE32(b + 4, call.requestCount);
    StoreLE32(b + 8, static_cast<uint32_t>(call.data.size()));
    StoreLE16(b + 12, call.replyFormat);
    StoreLE16(b + 14, 0);
    StoreLE32(b + 16, call.replyCapacity);
    StoreLE32(b + 20, call.intervalMs);
    AppendName(out, call.context);
    AppendName(out, call.equipment);
    AppendName(out, call.device);
    AppendName(out, call.property);
    out.insert(out.end(), call.data.begin(), call.data.end());
    ZeftWriteHeader(
        out.data(),
        ZeftWireHeader{type, 0, id, static_cast<uint32_t>(out.size() - kZeftHeaderSize)});
    return out;
}

std::vector<uint8_t> ZeftEncodeCancel(uint32_t id) {
    std::vector<uint8_t> out(kZeftHeaderSize);
    ZeftWriteHeader(out.data(), ZeftWireHeader{ZeftMsgType::Cancel, 0, id, 0});
    return out;
}

std::vector<uint8_t> ZeftEncodeReplyBody(int16_t status, const char* message, uint16_t format,
                                         uint32_t count, const uint8_t* data, size_t length) {
    size_t messageLength = message ? strnlen(message, kZeftMaxMessage) : 0;
    std::vector<uint8_t> out(kZeftReplyFixedSize + messageLength + length);
    uint8_t* b = out.data();
    StoreLE16(b, static_cast<uint16_t>(status));
    StoreLE16(b + 2, format);
    StoreLE32(b + 4, count);
    StoreLE32(b + 8, static_cast<uint32_t>(length));
    b[12] = static_cast<uint8_t>(messageLength);
    if (messageLength)
        std::memcpy(b + kZeftReplyFixedSize, message, messageLength);
    if (length)
        std::memcpy(b + kZeftReplyFixedSize + messageLength, data, length);
    return out;
}

std::vector<uint8_t> ZeftEncodeReply(uint32_t id, uint16_t flags, const ZeftWireReply& reply) {
    std::vector<uint8_t> body =
        ZeftEncodeReplyBody(reply.status, reply.message.c_str(), reply.format, reply.count,
                            reply.data.data(), reply.data.size());
    std::vector<uint8_t> out(kZeftHeaderSize);
    ZeftWriteHeader(out.data(), ZeftWireHeader{ZeftMsgType::Reply, flags, id,
                                               static_cast<uint32_t>(body.size())});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

const char* ZeftStatusText(int16_t code) {
    switch (code) {
        case kZeftOk:
            return "";
        case kZeftIllegalProperty:
            return "Illegal property.";
        case kZeftIllegalEquipment:
            return "Illegal equipment.";
        case kZeftIllegalDevice:
            return "Illegal device.";
        case kZeftAccessDenied:
            return "Access denied.";
        case kZeftRequestTooLarge:
            return "Request too large.";
        case kZeftIllegalFormat:
            return "Illegal format.";
        case kZeftServerBusy:
            return "Server busy.";
        case kZeftMonitorReadOnly:
            return "Monitors are read-only.";
        case kZeftUnknownName:
            return "Unknown name.";
        case kZeftConnectFailed:
            return "Could not connect.";
        case kZeftTimeout:
            return "Time-out.";
        case kZeftConnectionLost:
            return "Connection lost.";
        case kZeftProtocolError:
            return "Protocol error.";
        case kZeftReplyTooLarge:
            return "Reply does not fit the buffer.";
        case kZeftFormatMismatch:
            return "Reply cannot be converted to the buffer's format.";
        case kZeftInvalidArgument:
            return "Invalid argument.";
        case kZeftNotRegistered:
            return "Not registered.";
        case kZeftRegistrationConflict:
            return "Already registered with other values.";
        case kZeftListenFailed:
            return "Could not listen on the port.";
        case kZeftNotInCall:
            return "No call in progress.";
        case kZeftReplyOverflow:
            return "Reply larger than declared.";
        case kZeftDuplicateProperty:
            return "Property already declared.";
        case kZeftUnknownFormat:
            return "Unknown format.";
        case kZeftBadSize:
            return "Bad size.";
        case kZeftEquipmentInUse:
            return "Equipment name in use.";
        case kZeftNotEnabled:
            return "Not enabled.";
        case kZeftConversion:
            return "Value cannot be converted.";
        case kZeftBadAccess:
            return "Bad access.";
        default:
            return "";
    }
}

std::vector<uint8_t> ZeftRefusalBody(int16_t status) {
    return ZeftEncodeReplyBody(status, ZeftStatusText(status), kZeftFormatNone, 0, nullptr, 0);
}
