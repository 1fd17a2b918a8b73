// The web server's requests: access rules, paths and methods, and the writes, which run on
// the main thread and are answered with their outcome.
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "web/WebAssets.h"
#include "web/WebJson.h"
#include "web/WebShared.h"

namespace web {
namespace {

const sockaddr* Peer(const WebRequest* r) {
    return reinterpret_cast<const sockaddr*>(&r->peer);
}

// A count of decimal digits only, at most six of them.
bool ParseCount(const char* text, int* value) {
    const size_t n = std::strlen(text);
    if (n == 0 || n > 6 || std::strspn(text, "0123456789") != n)
        return false;
    *value = std::atoi(text);
    return true;
}

CResult<> FromOutcome(const Outcome& o) {
    if (o.Accepted())
        return Success();
    return CError{o.code == Outcome::kRefused ? 409 : 500, o.reason};
}

MHD_Result SendJson(WebRequest* r, const std::string& json, const char* none) {
    if (json.empty())
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, none);
    return Send(r->conn, MHD_HTTP_OK, json, "application/json");
}

MHD_Result Route(WebRequest* r, const std::string& url, const std::string& method) {
    CWebServer::Shared* s = r->shared;
    // Every POST, PUT and DELETE is a write: it goes to the trail however it is answered.
    const bool write = method == "POST" || method == "PUT" || method == "DELETE";
    const char* frames = MHD_lookup_connection_value(r->conn, MHD_GET_ARGUMENT_KIND, "frames");
    if (method == "PUT")
        r->trailValue = r->bodyText;
    else if (write && frames != nullptr)
        r->trailValue = std::string("frames=") + frames;
    if (!s->viewHosts.Allows(Peer(r), r->peerLength)) {
        ++s->refused;
        if (write)
            TrailWrite(r, url, MHD_HTTP_FORBIDDEN);
        return SendText(r->conn, MHD_HTTP_FORBIDDEN, "This host may not use this server.");
    }
    if (write && !s->controlHosts.Allows(Peer(r), r->peerLength)) {
        ++s->refused;
        TrailWrite(r, url, MHD_HTTP_FORBIDDEN);
        return SendText(r->conn, MHD_HTTP_FORBIDDEN, "This host may not control the server.");
    }
    const bool get = method == "GET" || method == "HEAD";
    auto only = [&](const char* allowed) {
        if (write)
            TrailWrite(r, url, MHD_HTTP_METHOD_NOT_ALLOWED);
        return Send(r->conn, MHD_HTTP_METHOD_NOT_ALLOWED, std::string("Use ") + allowed + ".\n",
                    kText, "Allow", allowed);
    };
    auto bad = [&](const char* reason) {
        TrailWrite(r, url, MHD_HTTP_BAD_REQUEST);
        return SendText(r->conn, MHD_HTTP_BAD_REQUEST, reason);
    };
    r->path = url;
    IControllerRequests* controller = s->links.controller;
    IWebBeam* beam = s->links.beam;
    if (url == "/api/start" || url == "/api/stop") {
        if (method != "POST")
            return only("POST");
        const ControllerCommand c =
            url == "/api/start" ? ControllerCommand::kStart : ControllerCommand::kStop;
        return QueueWrite(r, [controller, c] { return FromOutcome(controller->Request(c)); });
    }
    if (url == "/api/dark") {
        if (get) {
            const std::string pgm = beam ? beam->DarkPgm() : std::string();
            if (pgm.empty())
                return SendText(r->conn, MHD_HTTP_NOT_FOUND, "No dark frame.");
            return Send(r->conn, MHD_HTTP_OK, pgm, "image/x-portable-graymap");
        }
        if (method == "DELETE")
            return QueueWrite(r, [beam] { return beam->DarkFrame(0); });
        if (method != "POST")
            return only("GET, HEAD, POST, DELETE");
        int n = -1;
        if (frames != nullptr && !ParseCount(frames, &n))
            return bad("frames must be a whole number.");
        if (n == 0)
            return bad("A dark frame takes 1 to 256 frames.");
        return QueueWrite(r, [beam, n] { return beam->DarkFrame(n); });
    }
    if (url == "/api/roi") {
        if (method != "PUT")
            return only("PUT");
        static constexpr const char* kNames[] = {"x", "y", "width", "height"};
        std::array<int32_t, 4> v{};
        if (!ParseIntObject(r->bodyText, kNames, v))
            return bad(R"(The body must be {"x":X,"y":Y,"width":W,"height":H} in whole numbers.)");
        return QueueWrite(r, [beam, v] { return beam->SetRegion(v); });
    }
    if (url == "/api/stability" && method == "DELETE") {
        // The window is the beam monitor's own, safe to empty from any thread.
        if (beam == nullptr) {
            TrailWrite(r, url, MHD_HTTP_SERVICE_UNAVAILABLE);
            return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "Nobody measures.");
        }
        beam->ResetStability();
        TrailWrite(r, url, MHD_HTTP_NO_CONTENT);
        return Send(r->conn, MHD_HTTP_NO_CONTENT, "", kText);
    }
    static constexpr const char* kGetPaths[] = {"/stream.mjpg", "/snapshot.jpg", "/frame.png",
                                                "/api/status",  "/api/beam",     "/api/stability",
                                                "/events",      "/metrics"};
    const bool known =
        std::find(std::begin(kGetPaths), std::end(kGetPaths), url) != std::end(kGetPaths);
    const WebAsset* asset = nullptr;
    for (int i = 0; i < kWebAssetCount; ++i) {
        if (url == kWebAssets[i].path)
            asset = &kWebAssets[i];
    }
    if (!known && asset == nullptr) {
        if (write)
            TrailWrite(r, url, MHD_HTTP_NOT_FOUND);
        return SendText(r->conn, MHD_HTTP_NOT_FOUND, "Not found.");
    }
    if (!get)
        return only(url == "/api/stability" ? "GET, HEAD, DELETE" : "GET, HEAD");
    if (asset != nullptr) {
        MHD_Response* resp = MHD_create_response_from_buffer(
            asset->size, const_cast<unsigned char*>(asset->data), MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(resp, "Content-Type", asset->type);
        MHD_add_response_header(resp, "Cache-Control", "no-cache");
        const MHD_Result ok = MHD_queue_response(r->conn, MHD_HTTP_OK, resp);
        MHD_destroy_response(resp);
        return ok;
    }
    if (url == "/stream.mjpg")
        return StartStream(
            r, Kind::kMjpeg,
            (std::string("multipart/x-mixed-replace; boundary=") + kBoundary).c_str());
    if (url == "/events")
        return StartStream(r, Kind::kEvents, "text/event-stream");
    if (url == "/snapshot.jpg")
        return Snapshot(r);
    if (url == "/frame.png")
        return FramePng(r);
    if (url == "/api/beam")
        return SendJson(r, beam ? beam->BeamJson() : "", "No beam measured yet.");
    if (url == "/api/stability")
        return SendJson(r, beam ? beam->StabilityJson() : "", "No stability figures yet.");
    WebStatus status;
    {
        std::lock_guard lock(s->mutex);
        status = s->StatusWithOwnStats();
    }
    if (url == "/api/status")
        return Send(r->conn, MHD_HTTP_OK, RenderStatusJson(status), "application/json");
    return Send(r->conn, MHD_HTTP_OK, RenderMetrics(status, s->version),
                "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace

MHD_Result QueueWrite(WebRequest* r, std::function<CResult<>()> work) {
    CWebServer::Shared* s = r->shared;
    const WebLinks& links = s->links;
    const bool linked =
        links.poster != nullptr &&
        (r->path == "/api/start" || r->path == "/api/stop" ? links.controller != nullptr
                                                           : links.beam != nullptr);
    if (!linked) {
        TrailWrite(r, r->path, MHD_HTTP_SERVICE_UNAVAILABLE);
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "Nobody takes requests.");
    }
    uint64_t id = 0;
    bool stopping = false;
    {
        std::lock_guard lock(s->mutex);
        stopping = s->stopping;
        if (!stopping) {
            r->kind = Kind::kWrite;
            r->queued = true;
            r->id = id = ++s->nextId;
            r->suspended = true;
            s->waiting.push_back(r);
        }
    }
    // The trail logs through the owner's queue: never under the lock.
    if (stopping) {
        TrailWrite(r, r->path, MHD_HTTP_SERVICE_UNAVAILABLE);
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "The server is stopping.");
    }
    // Suspended before the task runs, so its answer always finds it suspended.
    MHD_suspend_connection(r->conn);
    const bool posted =
        links.poster->PostTask([weak = s->weak_from_this(), id, work = std::move(work)] {
            const CResult<> done = work();
            if (auto alive = weak.lock())
                alive->Answer(id, done.Ok() ? MHD_HTTP_NO_CONTENT : done.Code(),
                              done.Ok() ? "" : done.Message());
        });
    if (!posted)
        s->Answer(id, MHD_HTTP_SERVICE_UNAVAILABLE, "The server is stopping.");
    return MHD_YES;
}

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** context) {
    auto* s = static_cast<CWebServer::Shared*>(cls);
    auto* r = static_cast<WebRequest*>(*context);
    if (r == nullptr) {
        r = new WebRequest;
        r->shared = s;
        r->conn = c;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (info != nullptr && info->client_addr != nullptr) {
            const sockaddr* a = info->client_addr;
            r->peerLength = a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            std::memcpy(&r->peer, a, r->peerLength);
        }
        *context = r;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        r->body += *uploadSize;
        if (r->body > kMaxBody)
            return MHD_NO;  // closes the connection: larger bodies are not ours to read
        r->bodyText.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (r->queued) {
        bool answered = false;
        {
            std::lock_guard lock(s->mutex);
            answered = r->answered;
        }
        return answered ? SendAnswer(r) : MHD_YES;
    }
    return Route(r, url, method);
}

void OnCompleted(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto* s = static_cast<CWebServer::Shared*>(cls);
    auto* r = static_cast<WebRequest*>(*context);
    if (r == nullptr)
        return;
    *context = nullptr;
    {
        std::lock_guard lock(s->mutex);
        auto it = std::find(s->waiting.begin(), s->waiting.end(), r);
        if (it != s->waiting.end()) {
            s->waiting.erase(it);
            if (r->kind == Kind::kMjpeg)
                --s->viewers;
            else if (r->kind == Kind::kSnapshot)
                --s->snapshotWaiters;
            else if (r->kind == Kind::kPng && !r->answered)
                --s->pngDemand;
            s->UpdateDemand();
        }
    }
    delete r;
}

}  // namespace web
