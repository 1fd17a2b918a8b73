#include "zeft/Srv.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/LittleEndian.h"

namespace {

// Bytes a declared request may carry. Numbers may come as text, so even a one-number
// property takes a short text.
constexpr uint64_t kMinRequestBytes = 64;

// Kept of a given equipment name: enough that a name too long fails ZeftNameValid at the
// next enabling instead of being served under a cut name.
constexpr size_t kEquipmentNameKept = 256;

uint64_t DeclaredBytes(uint32_t size, uint16_t format) {
    if (format == kZeftFormatText)
        return kZeftMaxText;
    return static_cast<uint64_t>(size) * ZeftElementSize(format);
}

// The request's text: up to its first NUL, without surrounding blanks.
std::string RequestText(const std::vector<uint8_t>& data) {
    size_t end = 0;
    while (end < data.size() && data[end] != 0)
        ++end;
    std::string s(reinterpret_cast<const char*>(data.data()), end);
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

bool ParseUnsigned(const std::string& s, uint32_t* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno != 0 || end != s.c_str() + s.size() || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno == ERANGE || end != s.c_str() + s.size())
        return false;
    *out = v;
    return true;
}

void AppendLE32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    StoreLE32(out.data() + out.size() - 4, v);
}

void AppendLEDouble(std::vector<uint8_t>& out, double d) {
    out.resize(out.size() + 8);
    StoreLEDouble(out.data() + out.size() - 8, d);
}

}  // namespace

CSrv::CSrv(IMessagePoster* poster) : core_(std::make_shared<ZeftSrvCore>(poster)), poster_(poster) {
    core_->target = this;
}

CSrv::~CSrv() {
    ZeftRemoveControl(core_.get());
    core_->Detach();
    core_->target = nullptr;  // calls still queued for this control are refused
}

void CSrv::SetEquipmentName(std::string_view name) {
    equipmentName_ = std::string(name.substr(0, kEquipmentNameKept));
    // Served under the new name at once, so it always matches ExportName.
    if (enabled_)
        SetEnabled(true);
}

void CSrv::SetEnabled(bool enabled) {
    ZeftRemoveControl(core_.get());
    enabled_ = enabled;
    if (!enabled) {
        equipmentStatus_ = kZeftNotEnabled;
        return;
    }
    if (!ZeftNameValid(equipmentName_) || poster_ == nullptr) {
        equipmentStatus_ = kZeftInvalidArgument;
        return;
    }
    equipmentStatus_ = ZeftAddControl(equipmentName_, devices_, core_);
}

int16_t CSrv::RegisterDeviceName(std::string_view device, int16_t /*flags*/) {
    std::string name(device.substr(0, kZeftMaxName + 1));
    if (!ZeftNameValid(name))
        return kZeftInvalidArgument;
    if (std::find(devices_.begin(), devices_.end(), name) == devices_.end()) {
        devices_.push_back(name);
        if (enabled_ && equipmentStatus_ == kZeftOk)
            ZeftUpdateDevices(core_.get(), devices_);
    }
    return kZeftOk;
}

int16_t CSrv::AddProperty(std::string_view name, int32_t requestSize, int16_t requestFormat,
                          std::string_view requestTag, int32_t replySize, int16_t replyFormat,
                          std::string_view replyTag, int16_t access, std::string_view description) {
    Property p;
    p.name = std::string(name.substr(0, kZeftMaxName + 1));
    if (!ZeftNameValid(p.name))
        return kZeftInvalidArgument;
    p.requestFormat = static_cast<uint16_t>(requestFormat);
    p.replyFormat = static_cast<uint16_t>(replyFormat);
    if (!ZeftFormatKnown(p.requestFormat) || !ZeftFormatKnown(p.replyFormat))
        return kZeftUnknownFormat;
    if (access < kZeftRead || access > kZeftReadWrite)
        return kZeftBadAccess;
    if (requestSize < 1 || replySize < 1)
        return kZeftBadSize;
    p.requestSize = static_cast<uint32_t>(requestSize);
    p.replySize = static_cast<uint32_t>(replySize);
    if ((p.requestFormat == kZeftFormatText && p.requestSize != 1) ||
        (p.replyFormat == kZeftFormatText && p.replySize != 1) ||
        DeclaredBytes(p.replySize, p.replyFormat) > kZeftMaxReplyBytes ||
        DeclaredBytes(p.requestSize, p.requestFormat) > kZeftMaxReplyBytes)
        return kZeftBadSize;
    p.requestTag = std::string(requestTag.substr(0, kZeftMaxName));
    p.replyTag = std::string(replyTag.substr(0, kZeftMaxName));
    p.access = access;
    p.description = std::string(description.substr(0, kZeftMaxMessage));
    if (const Property* old = FindProperty(p.name)) {
        // The same declaration again (a re-registration after a reconfiguration) is fine.
        bool same = old->requestSize == p.requestSize && old->requestFormat == p.requestFormat &&
                    old->replySize == p.replySize && old->replyFormat == p.replyFormat &&
                    old->access == p.access && old->requestTag == p.requestTag &&
                    old->replyTag == p.replyTag && old->description == p.description;
        return same ? kZeftOk : kZeftDuplicateProperty;
    }
    properties_.push_back(std::move(p));
    return kZeftOk;
}

const CSrv::Property* CSrv::FindProperty(std::string_view name) const {
    for (const Property& p : properties_) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

std::vector<uint8_t> CSrv::Execute(const ZeftWireCall& call) {
    if (!enabled_)
        return ZeftRefusalBody(kZeftIllegalEquipment);
    if (std::find(devices_.begin(), devices_.end(), call.device) == devices_.end())
        return ZeftRefusalBody(kZeftIllegalDevice);
    const Property* prop = FindProperty(call.property);
    if (!prop)
        return ZeftRefusalBody(kZeftIllegalProperty);
    if ((call.access & kZeftWrite) &&
        call.data.size() >
            std::max(kMinRequestBytes, DeclaredBytes(prop->requestSize, prop->requestFormat)))
        return ZeftRefusalBody(kZeftRequestTooLarge);

    CallState state;
    state.call = &call;
    state.property = prop;
    // A handler that runs a nested message loop may raise another call meanwhile.
    CallState* outer = current_;
    current_ = &state;
    if (handler_)
        handler_(call.device, call.property, static_cast<int32_t>(call.requestCount),
                 static_cast<int32_t>(call.replyCapacity), call.access);
    current_ = outer;
    return ZeftEncodeReplyBody(state.status, state.message.c_str(), state.format, state.count,
                               state.data.data(), state.data.size());
}

void CSrv::SetCallStatus(int16_t code, std::string_view message) {
    if (!current_)
        return;
    current_->status = code;
    current_->message = std::string(message.substr(0, kZeftMaxMessage));
    // The message travels as text; a NUL would end it early on the client.
    std::replace(current_->message.begin(), current_->message.end(), '\0', ' ');
}

int16_t CSrv::GetRequestData(uint32_t& value) {
    if (!current_)
        return kZeftNotInCall;
    const ZeftWireCall& c = *current_->call;
    if (c.requestCount == 0 || c.data.empty())
        return kZeftConversion;
    switch (c.requestFormat) {
        case kZeftFormatInt: {
            int32_t v = static_cast<int32_t>(LoadLE32(c.data.data()));
            if (v < 0)
                return kZeftConversion;
            value = static_cast<uint32_t>(v);
            return kZeftOk;
        }
        case kZeftFormatByte:
            value = c.data[0];
            return kZeftOk;
        case kZeftFormatDouble: {
            double d = LoadLEDouble(c.data.data());
            if (!std::isfinite(d) || d < 0 || d > static_cast<double>(UINT32_MAX) ||
                d != std::floor(d))
                return kZeftConversion;
            value = static_cast<uint32_t>(d);
            return kZeftOk;
        }
        case kZeftFormatChar:
        case kZeftFormatText:
            return ParseUnsigned(RequestText(c.data), &value) ? kZeftOk : kZeftConversion;
        default:
            return kZeftConversion;
    }
}

int16_t CSrv::GetRequestData(double& value) {
    if (!current_)
        return kZeftNotInCall;
    const ZeftWireCall& c = *current_->call;
    if (c.requestCount == 0 || c.data.empty())
        return kZeftConversion;
    switch (c.requestFormat) {
        case kZeftFormatDouble:
            value = LoadLEDouble(c.data.data());
            return kZeftOk;
        case kZeftFormatInt:
            value = static_cast<int32_t>(LoadLE32(c.data.data()));
            return kZeftOk;
        case kZeftFormatByte:
            value = c.data[0];
            return kZeftOk;
        case kZeftFormatChar:
        case kZeftFormatText:
            return ParseDouble(RequestText(c.data), &value) ? kZeftOk : kZeftConversion;
        default:
            return kZeftConversion;
    }
}

int16_t CSrv::GetRequestData(std::span<uint8_t> array, uint32_t* count) {
    if (!current_)
        return kZeftNotInCall;
    const std::vector<uint8_t>& data = current_->call->data;
    size_t n = std::min(array.size(), data.size());
    if (n)
        std::memcpy(array.data(), data.data(), n);
    if (count)
        *count = static_cast<uint32_t>(n);
    return kZeftOk;
}

int16_t CSrv::GetRequestData(std::span<int32_t> values, uint32_t* count) {
    if (!current_)
        return kZeftNotInCall;
    const ZeftWireCall& c = *current_->call;
    const size_t size = ZeftElementSize(c.requestFormat);
    if ((c.requestFormat != kZeftFormatInt && c.requestFormat != kZeftFormatDouble) ||
        c.data.size() != size_t{c.requestCount} * size)
        return kZeftConversion;
    const size_t n = std::min<size_t>(values.size(), c.requestCount);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* at = c.data.data() + i * size;
        if (c.requestFormat == kZeftFormatInt) {
            values[i] = static_cast<int32_t>(LoadLE32(at));
            continue;
        }
        const double d = LoadLEDouble(at);
        if (!(d >= INT32_MIN && d <= INT32_MAX) || d != std::floor(d))
            return kZeftConversion;
        values[i] = static_cast<int32_t>(d);
    }
    *count = c.requestCount;
    return kZeftOk;
}

int16_t CSrv::StoreReply(uint16_t format, uint32_t count, const uint8_t* data, size_t length) {
    uint32_t limit =
        current_->property->replyFormat == kZeftFormatText ? 1 : current_->property->replySize;
    if (count > limit || (format == kZeftFormatText && length > kZeftMaxText))
        return kZeftReplyOverflow;
    current_->format = format;
    current_->count = count;
    current_->data.assign(data, data + length);
    return kZeftOk;
}

int16_t CSrv::PutReplyData(uint32_t value) {
    if (!current_)
        return kZeftNotInCall;
    std::vector<uint8_t> out;
    uint16_t format = current_->property->replyFormat;
    switch (format) {
        case kZeftFormatInt:
            AppendLE32(out, value);
            break;
        case kZeftFormatDouble:
            AppendLEDouble(out, static_cast<double>(value));
            break;
        case kZeftFormatByte:
            if (value > UINT8_MAX)
                return kZeftConversion;
            out.push_back(static_cast<uint8_t>(value));
            break;
        case kZeftFormatChar:
        case kZeftFormatText: {
            char text[16];
            int n = std::snprintf(text, sizeof text, "%u", value);
            return PutReplyData(std::string_view(text, static_cast<size_t>(n)));
        }
        default:
            return kZeftConversion;
    }
    return StoreReply(format, 1, out.data(), out.size());
}

int16_t CSrv::PutReplyData(double value) {
    if (!current_)
        return kZeftNotInCall;
    std::vector<uint8_t> out;
    uint16_t format = current_->property->replyFormat;
    switch (format) {
        case kZeftFormatDouble:
            AppendLEDouble(out, value);
            break;
        case kZeftFormatInt:
            if (!std::isfinite(value) || value < INT32_MIN || value > INT32_MAX)
                return kZeftConversion;
            AppendLE32(out, static_cast<uint32_t>(static_cast<int32_t>(value)));
            break;
        case kZeftFormatByte:
            if (!std::isfinite(value) || value < 0 || value > UINT8_MAX)
                return kZeftConversion;
            out.push_back(static_cast<uint8_t>(value));
            break;
        case kZeftFormatChar:
        case kZeftFormatText: {
            char text[40];
            int n = std::snprintf(text, sizeof text, "%.17g", value);
            return PutReplyData(std::string_view(text, static_cast<size_t>(n)));
        }
        default:
            return kZeftConversion;
    }
    return StoreReply(format, 1, out.data(), out.size());
}

int16_t CSrv::PutReplyData(std::string_view text) {
    if (!current_)
        return kZeftNotInCall;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    switch (current_->property->replyFormat) {
        case kZeftFormatText:
            return StoreReply(kZeftFormatText, 1, bytes, text.size());
        case kZeftFormatChar:
        case kZeftFormatByte:
            if (text.size() > UINT32_MAX)
                return kZeftReplyOverflow;
            return StoreReply(current_->property->replyFormat, static_cast<uint32_t>(text.size()),
                              bytes, text.size());
        default:
            return kZeftConversion;
    }
}

int16_t CSrv::PutReplyArray(std::span<const uint8_t> array, uint32_t count) {
    if (!current_)
        return kZeftNotInCall;
    if (count > array.size())
        return kZeftInvalidArgument;
    uint16_t format = current_->property->replyFormat;
    if (format == kZeftFormatText)
        return StoreReply(format, 1, array.data(), count);
    uint32_t size = ZeftElementSize(format);
    if (size == 0 || count % size != 0)
        return kZeftConversion;
    return StoreReply(format, count / size, array.data(), count);
}
