#include "web/WebServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "web/PngEncoder.h"
#include "web/WebAssets.h"
#include "web/WebJson.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxBody = 1024;
// Also bounds the request line and headers: a connection's whole memory, its read buffer
// included, so anything much over 8 KiB is refused.
constexpr size_t kConnectionMemory = 8 * 1024;
constexpr size_t kStreamBlock = 64 * 1024;
constexpr char kBoundary[] = "lumerix2frame";
constexpr auto kEventPeriod = std::chrono::milliseconds(100);
// A waiting viewer is off the polling loop and would not notice its client leave: while no
// frames come, the newest one goes out again this often.
constexpr auto kRepeatPeriod = std::chrono::seconds(5);
constexpr char kText[] = "text/plain; charset=utf-8";

// One message of a stream: a multipart part or an event, shared by every viewer.
struct Part {
    std::string bytes;
    size_t bodyOffset = 0;  // the JPEG inside a part
    size_t bodySize = 0;
    uint32_t frame = 0;
};

// The newest part of one stream, numbered so each viewer knows what it has seen.
struct Feed {
    std::shared_ptr<const Part> newest;
    uint64_t seq = 0;
};

enum class Kind { kPlain, kMjpeg, kSnapshot, kEvents, kCommand };

}  // namespace

// One request in flight; owned by its connection from the first call of the access
// handler to the completion notice.
struct WebRequest {
    CWebServer::Shared* shared = nullptr;
    MHD_Connection* conn = nullptr;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    Kind kind = Kind::kPlain;
    size_t body = 0;
    std::string bodyText;    // at most kMaxBody bytes
    std::string trailValue;  // writes: what the trail shows as the written value
    // Streams: the part being sent and how far.
    std::shared_ptr<const Part> part;
    size_t offset = 0;
    size_t end = 0;
    uint64_t seq = 0;
    bool suspended = false;  // by us, and not yet resumed
    // Commands.
    std::string path;
    uint64_t id = 0;
    bool commandSent = false;
    bool answered = false;
    int status = 0;
    std::string reason;
};

struct CWebServer::Shared : std::enable_shared_from_this<CWebServer::Shared> {
    ILogSink* log = nullptr;
    std::string version;
    CommandHandler commands;
    BeamSource beam;
    DarkSource dark;
    CHostList viewHosts;  // these three fixed while the daemon runs
    CHostList controlHosts;
    std::shared_ptr<CWriteTrail> trail;
    MHD_Daemon* daemon = nullptr;
    uint16_t port = 0;
    std::atomic<int> jpegDemand{0};
    std::atomic<uint64_t> refused{0};  // requests the access lists refused
    std::atomic<int64_t> statusAt{0};  // steady-clock ticks of the newest PublishStatus

    mutable std::mutex mutex;  // guards everything below
    bool stopping = false;
    Feed jpeg;
    Feed events;
    Clock::time_point lastJpeg{};
    std::shared_ptr<const std::string> gray;
    uint32_t grayWidth = 0, grayHeight = 0, newestFrame = 0;
    bool hasFrame = false;
    WebStatus status;
    Clock::time_point lastEvent{};
    std::string lastEventState;
    std::vector<WebRequest*> waiting;  // streams and commands: what may be suspended
    uint64_t nextId = 0;
    int viewers = 0;
    int snapshotWaiters = 0;
    uint64_t sent = 0;
    uint64_t dropped = 0;

    void UpdateDemand() { jpegDemand.store(viewers + snapshotWaiters); }
    WebStatus StatusWithOwnStats() const {
        WebStatus s = status;
        s.counters[kWebClients] = uint64_t(viewers);
        s.counters[kWebSent] = sent;
        s.counters[kWebDropped] = dropped;
        s.counters[kWebRefused] = refused.load();
        return s;
    }
    // Makes `part` the newest of `feed` and resumes the viewers waiting for it.
    void Publish(Feed& feed, std::shared_ptr<const Part> part);
    void Answer(uint64_t id, int status, const std::string& reason);
};

namespace {

MHD_Result Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type,
                const char* extraName = nullptr, const char* extraValue = nullptr) {
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

const sockaddr* Peer(const WebRequest* r) {
    return reinterpret_cast<const sockaddr*>(&r->peer);
}

// One line of the write trail for a write (POST, PUT, DELETE) and the status it was
// answered with.
void TrailPost(const WebRequest* r, const std::string& url, int status) {
    if (!r->shared->trail)
        return;
    uint32_t address = 0;
    const std::string peer =
        PeerIPv4(Peer(r), r->peerLength, &address) ? FormatIPv4(address) : "another host";
    r->shared->trail->Record(peer, url, r->trailValue, status, CWriteTrail::NowMs());
}

// A count of decimal digits only, at most six of them.
bool ParseCount(const char* text, int* value) {
    const size_t n = std::strlen(text);
    if (n == 0 || n > 6 || std::strspn(text, "0123456789") != n)
        return false;
    *value = std::atoi(text);
    return true;
}

bool Feeds(Kind k) {
    return k == Kind::kMjpeg || k == Kind::kSnapshot || k == Kind::kEvents;
}

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

MHD_Result FramePng(WebRequest* r) {
    CWebServer::Shared* s = r->shared;
    std::shared_ptr<const std::string> gray;
    uint32_t w = 0, h = 0;
    {
        std::lock_guard lock(s->mutex);
        gray = s->gray;
        w = s->grayWidth;
        h = s->grayHeight;
    }
    if (!gray)
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "No frame yet.");
    const std::string png = EncodeGrayPng(reinterpret_cast<const uint8_t*>(gray->data()), w, h);
    if (png.empty())
        return SendText(r->conn, MHD_HTTP_INTERNAL_SERVER_ERROR, "The PNG could not be made.");
    return Send(r->conn, MHD_HTTP_OK, png, "image/png");
}

MHD_Result Command(WebRequest* r, CWebServer::Command command,
                   const CWebServer::CommandArgs& args = {}) {
    CWebServer::Shared* s = r->shared;
    const std::string& path = r->path;
    if (r->commandSent) {
        if (!r->answered)
            return MHD_YES;
        TrailPost(r, path, r->status);
        if (r->status == MHD_HTTP_NO_CONTENT)
            return Send(r->conn, MHD_HTTP_NO_CONTENT, "", kText);
        return SendText(r->conn, static_cast<unsigned>(r->status), r->reason);
    }
    if (!s->commands) {
        TrailPost(r, path, MHD_HTTP_SERVICE_UNAVAILABLE);
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "Nobody takes requests.");
    }
    uint64_t id = 0;
    bool stopping = false;
    {
        std::lock_guard lock(s->mutex);
        stopping = s->stopping;
        if (!stopping) {
            r->kind = Kind::kCommand;
            r->commandSent = true;
            r->id = id = ++s->nextId;
            r->suspended = true;
            s->waiting.push_back(r);
        }
    }
    // The trail logs through the owner's queue: never under the lock.
    if (stopping) {
        TrailPost(r, path, MHD_HTTP_SERVICE_UNAVAILABLE);
        return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "The server is stopping.");
    }
    // Suspended before the handler runs, so its answer always finds it suspended.
    MHD_suspend_connection(r->conn);
    s->commands(command, args,
                [weak = s->weak_from_this(), id](int status, const std::string& reason) {
                    if (auto alive = weak.lock())
                        alive->Answer(id, status, reason);
                });
    return MHD_YES;
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
            TrailPost(r, url, MHD_HTTP_FORBIDDEN);
        return SendText(r->conn, MHD_HTTP_FORBIDDEN, "This host may not use this server.");
    }
    if (write && !s->controlHosts.Allows(Peer(r), r->peerLength)) {
        ++s->refused;
        TrailPost(r, url, MHD_HTTP_FORBIDDEN);
        return SendText(r->conn, MHD_HTTP_FORBIDDEN, "This host may not control the server.");
    }
    const bool get = method == "GET" || method == "HEAD";
    auto only = [&](const char* allowed) {
        if (write)
            TrailPost(r, url, MHD_HTTP_METHOD_NOT_ALLOWED);
        return Send(r->conn, MHD_HTTP_METHOD_NOT_ALLOWED, std::string("Use ") + allowed + ".\n",
                    kText, "Allow", allowed);
    };
    auto bad = [&](const char* reason) {
        TrailPost(r, url, MHD_HTTP_BAD_REQUEST);
        return SendText(r->conn, MHD_HTTP_BAD_REQUEST, reason);
    };
    r->path = url;
    if (url == "/api/start" || url == "/api/stop") {
        if (method != "POST")
            return only("POST");
        return Command(
            r, url == "/api/start" ? CWebServer::Command::kStart : CWebServer::Command::kStop);
    }
    if (url == "/api/dark") {
        CWebServer::CommandArgs args;
        if (method == "GET" || method == "HEAD") {
            const std::string pgm = s->dark ? s->dark() : std::string();
            if (pgm.empty())
                return SendText(r->conn, MHD_HTTP_NOT_FOUND, "No dark frame.");
            return Send(r->conn, MHD_HTTP_OK, pgm, "image/x-portable-graymap");
        }
        if (method == "DELETE")
            return Command(r, CWebServer::Command::kClearDark);
        if (method != "POST")
            return only("GET, POST, DELETE");
        if (frames != nullptr && !ParseCount(frames, &args.frames))
            return bad("frames must be a whole number.");
        return Command(r, CWebServer::Command::kCaptureDark, args);
    }
    if (url == "/api/roi") {
        if (method != "PUT")
            return only("PUT");
        static constexpr const char* kNames[] = {"x", "y", "width", "height"};
        int32_t v[4] = {};
        if (!ParseIntObject(r->bodyText, kNames, v))
            return bad(R"(The body must be {"x":X,"y":Y,"width":W,"height":H} in whole numbers.)");
        return Command(r, CWebServer::Command::kSetRoi, {-1, v[0], v[1], v[2], v[3]});
    }
    const char* const getPaths[] = {"/stream.mjpg", "/snapshot.jpg", "/frame.png", "/api/status",
                                    "/api/beam",    "/events",       "/metrics"};
    bool known = std::find(std::begin(getPaths), std::end(getPaths), url) != std::end(getPaths);
    const WebAsset* asset = nullptr;
    for (int i = 0; i < kWebAssetCount; ++i) {
        if (url == kWebAssets[i].path)
            asset = &kWebAssets[i];
    }
    if (!known && asset == nullptr) {
        if (write)
            TrailPost(r, url, MHD_HTTP_NOT_FOUND);
        return SendText(r->conn, MHD_HTTP_NOT_FOUND, "Not found.");
    }
    if (!get)
        return only("GET, HEAD");
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
    if (url == "/api/beam") {
        const std::string beam = s->beam ? s->beam() : std::string();
        if (beam.empty())
            return SendText(r->conn, MHD_HTTP_SERVICE_UNAVAILABLE, "No beam measured yet.");
        return Send(r->conn, MHD_HTTP_OK, beam, "application/json");
    }
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
            s->UpdateDemand();
        }
    }
    delete r;
}

}  // namespace

void CWebServer::Shared::Publish(Feed& feed, std::shared_ptr<const Part> part) {
    std::vector<MHD_Connection*> wake;
    {
        std::lock_guard lock(mutex);
        feed.newest = std::move(part);
        ++feed.seq;
        if (&feed == &jpeg)
            lastJpeg = Clock::now();
        const bool eventFeed = &feed == &events;
        for (WebRequest* r : waiting) {
            if (r->suspended && Feeds(r->kind) && (r->kind == Kind::kEvents) == eventFeed) {
                r->suspended = false;
                wake.push_back(r->conn);
            }
        }
    }
    // A suspended connection stays until resumed, so these are alive; only this thread
    // resumes them.
    for (MHD_Connection* c : wake)
        MHD_resume_connection(c);
}

void CWebServer::Shared::Answer(uint64_t id, int answer, const std::string& reason) {
    MHD_Connection* wake = nullptr;
    {
        std::lock_guard lock(mutex);
        for (WebRequest* r : waiting) {
            if (r->kind == Kind::kCommand && r->id == id && !r->answered) {
                r->answered = true;
                r->status = answer;
                r->reason = reason;
                if (r->suspended) {
                    r->suspended = false;
                    wake = r->conn;
                }
            }
        }
    }
    if (wake != nullptr)
        MHD_resume_connection(wake);
}

CWebServer::CWebServer(ILogSink* log, std::string version)
    : log_(log), version_(std::move(version)) {}

CWebServer::~CWebServer() {
    Stop();
}

bool CWebServer::Start(const WebSettings& settings, CommandHandler commands) {
    if (shared_ || !settings.enabled)
        return shared_ != nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(settings.port));
    if (settings.port < 0 || settings.port > 65535 ||
        ::inet_pton(AF_INET, settings.bindAddress.c_str(), &addr.sin_addr) != 1) {
        LogMessage(log_, "Web server: \"%s\" port %d is no IPv4 address and port; it stays off.",
                   settings.bindAddress.c_str(), settings.port);
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 64) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        LogMessage(log_, "Web server: %s:%d could not be opened (%s); the server runs without it.",
                   settings.bindAddress.c_str(), settings.port, std::strerror(error));
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);

    auto shared = std::make_shared<Shared>();
    shared->log = log_;
    shared->version = version_;
    shared->commands = std::move(commands);
    shared->beam = beamSource_;
    shared->dark = darkSource_;
    shared->viewHosts = access_.viewHosts;
    shared->controlHosts = access_.controlHosts;
    shared->trail = access_.trail;
    shared->port = ntohs(bound.sin_port);
    shared->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
        nullptr, &OnRequest, shared.get(), MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(std::max(1, settings.maxConnections)),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(std::max(1, settings.maxPerAddress)), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(std::max(1, settings.idleSeconds)),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &OnCompleted, shared.get(), MHD_OPTION_END);
    if (shared->daemon == nullptr) {
        ::close(fd);
        LogMessage(log_, "Web server: it could not be started; the server runs without it.");
        return false;
    }
    shared_ = std::move(shared);
    LogMessage(log_, "Web server on http://%s:%u/", settings.bindAddress.c_str(),
               unsigned(shared_->port));
    return true;
}

void CWebServer::Stop() {
    if (!shared_)
        return;
    std::vector<MHD_Connection*> wake;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        for (WebRequest* r : shared_->waiting) {
            if (r->kind == Kind::kCommand && !r->answered) {
                r->answered = true;
                r->status = MHD_HTTP_SERVICE_UNAVAILABLE;
                r->reason = "The server is stopping.";
            }
            if (r->suspended) {
                r->suspended = false;
                wake.push_back(r->conn);
            }
        }
    }
    // The daemon refuses to stop with suspended connections.
    for (MHD_Connection* c : wake)
        MHD_resume_connection(c);
    // Waiting commands get their answer out first, briefly.
    auto commandsLeft = [this] {
        std::lock_guard lock(shared_->mutex);
        return std::any_of(shared_->waiting.begin(), shared_->waiting.end(),
                           [](const WebRequest* r) { return r->kind == Kind::kCommand; });
    };
    for (int i = 0; i < 50 && commandsLeft(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    MHD_stop_daemon(shared_->daemon);
    shared_.reset();
}

bool CWebServer::IsRunning() const {
    return shared_ != nullptr;
}

uint16_t CWebServer::Port() const {
    return shared_ ? shared_->port : 0;
}

void CWebServer::PublishJpeg(uint32_t frameNumber, const uint8_t* jpeg, uint32_t size) {
    if (!shared_ || jpeg == nullptr || size == 0)
        return;
    auto part = std::make_shared<Part>();
    part->bytes = std::string("--") + kBoundary +
                  "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(size) +
                  "\r\n\r\n";
    part->bodyOffset = part->bytes.size();
    part->bodySize = size;
    part->frame = frameNumber;
    part->bytes.append(reinterpret_cast<const char*>(jpeg), size);
    part->bytes += "\r\n";
    shared_->Publish(shared_->jpeg, std::move(part));
}

void CWebServer::PublishFrame(uint32_t frameNumber, uint32_t width, uint32_t height,
                              const uint8_t* pixels) {
    if (!shared_ || pixels == nullptr)
        return;
    // The buffer a PNG request may still read is left alone; otherwise the last one is reused.
    if (!spareFrame_ || spareFrame_.use_count() > 1)
        spareFrame_ = std::make_shared<std::string>();
    spareFrame_->assign(reinterpret_cast<const char*>(pixels), size_t{width} * height);
    std::shared_ptr<const std::string> old;
    {
        std::lock_guard lock(shared_->mutex);
        old = std::move(shared_->gray);
        shared_->gray = spareFrame_;
        shared_->grayWidth = width;
        shared_->grayHeight = height;
        shared_->newestFrame = frameNumber;
    }
    spareFrame_ = std::const_pointer_cast<std::string>(old);
}

void CWebServer::PublishStatus(const WebStatus& status, bool event) {
    if (!shared_)
        return;
    WebStatus shown;
    std::shared_ptr<const Part> repeat;
    const Clock::time_point now = Clock::now();
    shared_->statusAt.store(now.time_since_epoch().count());
    {
        std::lock_guard lock(shared_->mutex);
        shared_->status = status;
        if (shared_->jpeg.newest && now - shared_->lastJpeg >= kRepeatPeriod)
            repeat = shared_->jpeg.newest;
        // A change of state goes out at once; the rest at most ten times a second.
        if (event &&
            (now - shared_->lastEvent >= kEventPeriod || status.state != shared_->lastEventState)) {
            shared_->lastEvent = now;
            shared_->lastEventState = status.state;
            shown = shared_->StatusWithOwnStats();
        } else {
            event = false;
        }
    }
    if (repeat)
        shared_->Publish(shared_->jpeg, std::move(repeat));
    if (!event)
        return;
    auto part = std::make_shared<Part>();
    part->bytes = "event: status\ndata: " + RenderStatusJson(shown) + "\n\n";
    shared_->Publish(shared_->events, std::move(part));
}

bool CWebServer::StatusDue() const {
    if (!shared_)
        return false;
    const Clock::time_point last{Clock::duration(shared_->statusAt.load())};
    return Clock::now() - last >= kEventPeriod;
}

bool CWebServer::JpegWanted() const {
    return shared_ && shared_->jpegDemand.load() > 0;
}

WebStatus::Channel CWebServer::Stats() const {
    if (!shared_)
        return {};
    std::lock_guard lock(shared_->mutex);
    return {shared_->viewers, shared_->sent, shared_->dropped};
}
