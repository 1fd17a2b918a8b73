#include "stream/FrameStream.h"

#include <zmq.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ThreadName.h"
#include "frame/BufferPool.h"

namespace {

constexpr char kZapEndpoint[] = "inproc://zeromq.zap.01";
constexpr char kZapDomain[] = "lumerix2";

void Append(std::string& out, const char* format, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char text[40];
    std::snprintf(text, sizeof text, format, v);
    out += text;
}

void AppendNumber(std::string& out, double v) {
    Append(out, "%.9g", v);
}

// Configuration text can hold anything but a line break.
void AppendString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void FreePayload(void* data, void*) {
    g_BufferPool.Free(data);
}

// One frame of a ZAP exchange; false when the context shut down.
bool ReceivePart(void* socket, std::string* text, bool* more) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, socket, 0) < 0) {
        zmq_msg_close(&msg);
        return false;
    }
    // ZAP frames are short; a longer one is cut, it only has to be answered.
    const size_t n = std::min<size_t>(zmq_msg_size(&msg), 256);
    text->assign(static_cast<const char*>(zmq_msg_data(&msg)), n);
    *more = zmq_msg_more(&msg) != 0;
    zmq_msg_close(&msg);
    return true;
}

}  // namespace

CResult<> CFrameStream::Start(const StreamSettings& settings, const CHostList& view) {
    Stop();
    int type = 0;
    if (settings.pattern == "PUSH")
        type = ZMQ_PUSH;
    else if (settings.pattern == "PUB")
        type = ZMQ_PUB;
    if (type == 0)
        return CError{-1, "unknown Pattern \"" + settings.pattern + "\" (PUSH or PUB)"};
    if (settings.content != "raw" && settings.content != "lossless")
        return CError{-1, "unknown Content \"" + settings.content + "\" (raw or lossless)"};
    raw_ = settings.content == "raw";
    view_ = view;
    context_ = zmq_ctx_new();
    if (context_ == nullptr)
        return CError{errno, std::string("no ZeroMQ context (") + zmq_strerror(errno) + ")"};
    void* zap = nullptr;
    if (!view_.AllowsEveryone()) {
        // Bound before the stream socket, so that no peer is ever let in unchecked.
        zap = zmq_socket(context_, ZMQ_REP);
        if (zap == nullptr || zmq_bind(zap, kZapEndpoint) != 0) {
            CError failed{errno,
                          std::string("no peer address check (") + zmq_strerror(errno) + ")"};
            if (zap != nullptr)
                zmq_close(zap);
            zmq_ctx_term(context_);
            context_ = nullptr;
            return failed;
        }
    }
    socket_ = zmq_socket(context_, type);
    const int hwm = settings.highWaterMark, linger = 0;
    bool ok = socket_ != nullptr && zmq_setsockopt(socket_, ZMQ_SNDHWM, &hwm, sizeof hwm) == 0 &&
              zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger) == 0;
    // A NULL-mechanism peer is only put to the ZAP handler when the socket has a domain.
    if (ok && zap != nullptr)
        ok = zmq_setsockopt(socket_, ZMQ_ZAP_DOMAIN, kZapDomain, sizeof kZapDomain - 1) == 0;
    CError failed;
    if (ok && zmq_bind(socket_, settings.endpoint.c_str()) != 0) {
        failed = {errno, "cannot bind " + settings.endpoint + " (" + zmq_strerror(errno) + ")"};
        ok = false;
    } else if (!ok) {
        failed = {errno, std::string("no ZeroMQ socket (") + zmq_strerror(errno) + ")"};
    }
    if (!ok) {
        if (socket_ != nullptr)
            zmq_close(socket_);
        socket_ = nullptr;
        if (zap != nullptr)
            zmq_close(zap);
        zmq_ctx_term(context_);
        context_ = nullptr;
        return failed;
    }
    char last[256] = {};
    size_t size = sizeof last - 1;
    endpoint_ = zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, last, &size) == 0 ? std::string(last)
                                                                             : settings.endpoint;
    if (zap != nullptr)
        zap_ = std::thread([this, zap] { RunZap(zap); });
    return Success();
}

void CFrameStream::Stop() {
    if (context_ == nullptr)
        return;
    zmq_close(socket_);
    socket_ = nullptr;
    // Ends the ZAP handler's wait; it closes its own socket.
    zmq_ctx_shutdown(context_);
    if (zap_.joinable())
        zap_.join();
    zmq_ctx_term(context_);
    context_ = nullptr;
}

void CFrameStream::RunZap(void* zap) {
    NameThisThread("lx-stream-zap");
    for (;;) {
        // version, request id, domain, address, identity, mechanism, credentials...
        std::string parts[6], text;
        size_t count = 0;
        bool more = true, alive = true;
        while (more && (alive = ReceivePart(zap, &text, &more))) {
            if (count < 6)
                parts[count] = text;
            ++count;
        }
        if (!alive)
            break;
        uint32_t address = 0;
        const bool allowed = count >= 6 && parts[0] == "1.0" && ParseIPv4(parts[3], &address) &&
                             view_.Allows(address);
        if (!allowed)
            refused_.fetch_add(1, std::memory_order_relaxed);
        const std::string reply[] = {
            "1.0", parts[1], allowed ? "200" : "400", allowed ? "OK" : "not in ViewHosts", "", ""};
        for (size_t i = 0; i < 6; ++i)
            if (zmq_send(zap, reply[i].data(), reply[i].size(), i < 5 ? ZMQ_SNDMORE : 0) < 0)
                break;
    }
    zmq_close(zap);
}

void CFrameStream::Publish(const StreamFrameInfo& info, Encoding encoding, void* payload,
                           size_t bytes, uint32_t formatLength) {
    if (socket_ == nullptr) {
        g_BufferPool.Free(payload);
        return;
    }
    std::string& h = header_;
    h = "{\"htype\":\"lumerix2-frame-1\",\"frame\":" + std::to_string(info.frame) +
        ",\"timestamp\":";
    Append(h, "%.3f", info.timestamp);
    const std::string w = std::to_string(info.width), hh = std::to_string(info.height);
    h += ",\"width\":" + w + ",\"height\":" + hh + ",\"type\":\"uint8\",\"shape\":[" + hh + "," +
         w + "],\"encoding\":" + (encoding == Encoding::kRaw ? "\"raw\"" : "\"huffyuv\"");
    if (encoding == Encoding::kHuffyuv)
        h += ",\"format_length\":" + std::to_string(formatLength);
    h += ",\"orientation\":";
    AppendString(h, info.orientation);
    h += ",\"scale\":";
    AppendNumber(h, info.scale);
    const char* names[] = {"{\"x\":", ",\"y\":", ",\"sx\":", ",\"sy\":"};
    h += ",\"spot\":";
    for (size_t i = 0; i < 4; ++i) {
        h += names[i];
        AppendNumber(h, info.spot[i]);
    }
    h += "}";
    if (!info.beamJson.empty())
        h += ",\"beam\":" + info.beamJson;
    h += "}";

    zmq_msg_t body;
    if (zmq_msg_init_data(&body, payload, bytes, FreePayload, nullptr) != 0) {
        g_BufferPool.Free(payload);
        CountDropped();
        return;
    }
    // EAGAIN: no peer can take the message now. Once the header part went, the body goes
    // too: the high-water mark counts whole messages.
    int sent = zmq_send(socket_, h.data(), h.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    if (sent < 0 && errno == EAGAIN) {
        // A send only looks at the peers' reads now and then; reading the events brings
        // them up to date, so that a queue that has room is not taken for a full one.
        int events = 0;
        size_t size = sizeof events;
        zmq_getsockopt(socket_, ZMQ_EVENTS, &events, &size);
        if (events & ZMQ_POLLOUT)
            sent = zmq_send(socket_, h.data(), h.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    }
    if (sent < 0 || zmq_msg_send(&body, socket_, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&body);
        CountDropped();
        return;
    }
    sent_.fetch_add(1, std::memory_order_relaxed);
}
