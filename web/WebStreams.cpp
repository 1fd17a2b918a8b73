// The web server's answers that wait for frames: the MJPEG and event streams, the snapshot
// and the PNG of the next gray frame.
#include <algorithm>
#include <cstring>

#include "web/WebShared.h"

namespace web {
namespace {

constexpr size_t kStreamBlock = 64 * 1024;

ssize_t ReadStream(void* cls, uint64_t, char* buf, size_t max) {
    auto* r = static_cast<WebRequest*>(cls);
    CWebServer::Shared* s = r->shared;
    if (!r->part || r->offset == r->end) {
        std::unique_lock lock(s->mutex);
        if (r->part) {
            r->part.reset();
            if (r->kind == Kind::kMjpeg)
                ++s->sent;
            else if (r->kind == Kind::kSnapshot)
                return MHD_CONTENT_READER_END_OF_STREAM;
        }
        if (s->stopping)
            return MHD_CONTENT_READER_END_OF_STREAM;
        const Feed& feed = r->kind == Kind::kEvents ? s->events : s->jpeg;
        if (!feed.newest || feed.seq == r->seq) {
            // Nothing new: off the polling loop until the next part resumes it. A resume
            // that comes before the suspension cancels it.
            r->suspended = true;
            lock.unlock();
            MHD_suspend_connection(r->conn);
            return 0;
        }
        if (r->kind == Kind::kMjpeg && r->seq != 0 && feed.seq > r->seq + 1)
            s->dropped += feed.seq - r->seq - 1;
        r->part = feed.newest;
        r->seq = feed.seq;
        r->offset = r->kind == Kind::kSnapshot ? r->part->bodyOffset : 0;
        r->end = r->kind == Kind::kSnapshot ? r->part->bodyOffset + r->part->bodySize
                                            : r->part->bytes.size();
    }
    const size_t n = std::min(max, r->end - r->offset);
    std::memcpy(buf, r->part->bytes.data() + r->offset, n);
    r->offset += n;
    return static_cast<ssize_t>(n);
}

const sockaddr* Peer(const WebRequest* r) {
    return reinterpret_cast<const sockaddr*>(&r->peer);
}

}  // namespace

MHD_Result Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type,
                const char* extraName, const char* extraValue) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    if (!body.empty())
        MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", "no-store");
    if (extraName != nullptr)
        MHD_add_response_header(r, extraName, extraValue);
    const MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result SendText(MHD_Connection* c, unsigned status, const std::string& line) {
    return Send(c, status, line + "\n", kText);
}

void TrailWrite(const WebRequest* r, const std::string& url, int status) {
    if (!r->shared->trail)
        return;
    uint32_t address = 0;
    const std::string peer =
        PeerIPv4(Peer(r), r->peerLength, &address) ? FormatIPv4(address) : "another host";
    r->shared->trail->Record(peer, url, r->trailValue, status, CWriteTrail::NowMs());
}

MHD_Result StartStream(WebRequest* r, Kind kind, const char* type) {
    CWebServer::Shared* s = r->shared;
    {
        std::lock_guard lock(s->mutex);
        if (s->stopping)
            return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "The server is stopping.");
        r->kind = kind;
        if (kind == Kind::kSnapshot) {
            r->seq = s->jpeg.seq;  // waits for the next JPEG
            ++s->snapshotWaiters;
        } else if (kind == Kind::kMjpeg) {
            ++s->viewers;
        }
        s->waiting.push_back(r);
        s->UpdateDemand();
    }
    MHD_Response* resp =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, ReadStream, r, nullptr);
    if (resp == nullptr)
        return MHD_NO;
    MHD_add_response_header(resp, "Content-Type", type);
    MHD_add_response_header(resp, "Cache-Control", "no-store");
    const MHD_Result ok = MHD_queue_response(r->conn, MHD_HTTP_OK, resp);
    MHD_destroy_response(resp);
    return ok;
}

MHD_Result Snapshot(WebRequest* r) {
    CWebServer::Shared* s = r->shared;
    std::shared_ptr<const Part> part;
    bool grabbing = false;
    {
        std::lock_guard lock(s->mutex);
        part = s->jpeg.newest;
        grabbing = s->status.state == "grabbing";
        if (part && part->frame != s->newestFrame && grabbing)
            part.reset();  // stale: the next frame's JPEG is coming
    }
    if (part)
        return Send(r->conn, MHD_HTTP_OK, part->bytes.substr(part->bodyOffset, part->bodySize),
                    "image/jpeg");
    if (!grabbing)
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "No frame yet.");
    return StartStream(r, Kind::kSnapshot, "image/jpeg");
}

// While grabbing, the next frame is copied and encoded for it; otherwise the last PNG made
// is the answer.
MHD_Result FramePng(WebRequest* r) {
    CWebServer::Shared* s = r->shared;
    std::shared_ptr<const std::string> last;
    {
        std::lock_guard lock(s->mutex);
        if (!s->stopping && s->status.state == "grabbing") {
            r->kind = Kind::kPng;
            r->queued = true;
            r->suspended = true;
            s->waiting.push_back(r);
            ++s->pngDemand;
        } else {
            last = s->lastPng;
        }
    }
    if (r->queued) {
        // Suspended before any frame can answer it, so the answer always finds it so.
        MHD_suspend_connection(r->conn);
        return MHD_YES;
    }
    if (!last)
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "No frame yet.");
    return Send(r->conn, MHD_HTTP_OK, *last, "image/png");
}

MHD_Result SendAnswer(WebRequest* r) {
    if (r->kind == Kind::kPng) {
        if (!r->png || r->png->empty())
            return SendText(r->conn,
                            r->png ? MHD_HTTP_INTERNAL_SERVER_ERROR : MHD_HTTP_SERVICE_UNAVAILABLE,
                            r->png ? "The PNG could not be made." : "No frame yet.");
        return Send(r->conn, MHD_HTTP_OK, *r->png, "image/png");
    }
    TrailWrite(r, r->path, r->status);
    if (r->status == MHD_HTTP_NO_CONTENT)
        return Send(r->conn, MHD_HTTP_NO_CONTENT, "", kText);
    return SendText(r->conn, static_cast<unsigned>(r->status), r->reason);
}

}  // namespace web
