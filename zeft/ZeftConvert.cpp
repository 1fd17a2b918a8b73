// The typed side of a client call: a raw reply converted into a caller's buffer, and the
// classic call that does both.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/LittleEndian.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

// The reply's elements as numbers, when it holds numbers (or one number as text).
bool ReplyNumbers(const ZeftWireReply& r, std::vector<double>* out) {
    out->clear();
    switch (r.format) {
        case kZeftFormatByte:
            out->assign(r.data.begin(), r.data.end());
            return true;
        case kZeftFormatInt:
            for (size_t i = 0; i + 4 <= r.data.size(); i += 4)
                out->push_back(static_cast<int32_t>(LoadLE32(r.data.data() + i)));
            return true;
        case kZeftFormatDouble:
            for (size_t i = 0; i + 8 <= r.data.size(); i += 8)
                out->push_back(LoadLEDouble(r.data.data() + i));
            return true;
        case kZeftFormatChar:
        case kZeftFormatText: {
            std::string s(r.data.begin(), r.data.end());
            s = s.substr(0, s.find('\0'));
            char* end = nullptr;
            errno = 0;
            double v = std::strtod(s.c_str(), &end);
            if (s.empty() || errno == ERANGE || *end != '\0')
                return false;
            out->push_back(v);
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

int16_t ZeftConvertReply(const ZeftWireReply& r, void* data, uint16_t format, uint32_t capacity,
                         uint32_t* count) {
    *count = 0;
    auto* out = static_cast<uint8_t*>(data);
    bool rawSource = r.format == kZeftFormatChar || r.format == kZeftFormatText ||
                     r.format == kZeftFormatByte || r.format == kZeftFormatNone;
    switch (format) {
        case kZeftFormatChar:
        case kZeftFormatText: {
            if (!rawSource)
                return kZeftFormatMismatch;
            size_t need = r.data.size() + (format == kZeftFormatText ? 1 : 0);
            if (need > capacity)
                return kZeftReplyTooLarge;
            if (!r.data.empty())
                std::memcpy(out, r.data.data(), r.data.size());
            if (format == kZeftFormatText)
                out[r.data.size()] = 0;
            *count = format == kZeftFormatText ? 1 : static_cast<uint32_t>(r.data.size());
            return kZeftOk;
        }
        case kZeftFormatRecord:
            if (r.format != kZeftFormatRecord && r.format != kZeftFormatByte &&
                r.format != kZeftFormatNone)
                return kZeftFormatMismatch;
            if (r.data.size() % kZeftRecordSize != 0)
                return kZeftFormatMismatch;
            if (r.data.size() / kZeftRecordSize > capacity)
                return kZeftReplyTooLarge;
            if (!r.data.empty())
                std::memcpy(out, r.data.data(), r.data.size());
            *count = static_cast<uint32_t>(r.data.size() / kZeftRecordSize);
            return kZeftOk;
        case kZeftFormatByte:
            if (r.format == kZeftFormatRecord || rawSource) {
                if (r.data.size() > capacity)
                    return kZeftReplyTooLarge;
                if (!r.data.empty())
                    std::memcpy(out, r.data.data(), r.data.size());
                *count = static_cast<uint32_t>(r.data.size());
                return kZeftOk;
            }
            [[fallthrough]];
        case kZeftFormatInt:
        case kZeftFormatDouble: {
            if (r.format == kZeftFormatNone)
                return kZeftOk;
            std::vector<double> values;
            if (!ReplyNumbers(r, &values))
                return kZeftFormatMismatch;
            if (values.size() > capacity)
                return kZeftReplyTooLarge;
            for (size_t i = 0; i < values.size(); ++i) {
                double v = values[i];
                if (format == kZeftFormatDouble) {
                    uint64_t bits;
                    std::memcpy(&bits, &v, sizeof bits);
                    for (int b = 0; b < 8; ++b)
                        out[i * 8 + b] = static_cast<uint8_t>(bits >> (8 * b));
                } else if (format == kZeftFormatInt) {
                    if (!std::isfinite(v) || v < INT32_MIN || v > INT32_MAX)
                        return kZeftFormatMismatch;
                    auto u = static_cast<uint32_t>(static_cast<int32_t>(v));
                    for (int b = 0; b < 4; ++b)
                        out[i * 4 + b] = static_cast<uint8_t>(u >> (8 * b));
                } else {
                    if (!std::isfinite(v) || v < 0 || v > UINT8_MAX)
                        return kZeftFormatMismatch;
                    out[i] = static_cast<uint8_t>(v);
                }
            }
            *count = static_cast<uint32_t>(values.size());
            return kZeftOk;
        }
        default:
            return kZeftInvalidArgument;
    }
}

int16_t ExecLinkEx(const char* address, const char* property, ZeftData* reply,
                   const ZeftData* request, int16_t access, int32_t timeoutMs) {
    if (!reply || (reply->capacity > 0 && !reply->data) || !ZeftFormatKnown(reply->format))
        return kZeftInvalidArgument;
    ZeftRequest req;
    if (request && request->count > 0) {
        if (!request->data || !ZeftFormatKnown(request->format))
            return kZeftInvalidArgument;
        req.format = request->format;
        req.count = request->count;
        size_t bytes;
        if (request->format == kZeftFormatText) {
            if (request->count != 1)
                return kZeftInvalidArgument;
            bytes = strnlen(static_cast<const char*>(request->data), kZeftMaxText + 1);
            if (bytes > kZeftMaxText)
                return kZeftInvalidArgument;
        } else {
            uint64_t total =
                static_cast<uint64_t>(request->count) * ZeftElementSize(request->format);
            if (total > kZeftMaxReplyBytes)
                return kZeftInvalidArgument;
            bytes = static_cast<size_t>(total);
        }
        const auto* p = static_cast<const uint8_t*>(request->data);
        req.data.assign(p, p + bytes);
    }
    // No element of any format is larger than a record, and a text at most kZeftMaxText.
    uint64_t maxBytes =
        std::max<uint64_t>(static_cast<uint64_t>(reply->capacity) * kZeftRecordSize, kZeftMaxText);
    ZeftWireReply raw;
    int16_t rc = ZeftCall(address, property, req, access, timeoutMs, &raw, maxBytes);
    reply->count = 0;
    if (rc != kZeftOk)
        return rc;
    return ZeftConvertReply(raw, reply->data, reply->format, reply->capacity, &reply->count);
}
