#include "web/WebServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Listener.h"
#include "base/LogSink.h"
#include "web/PngEncoder.h"
#include "web/WebShared.h"

using namespace web;

namespace {

// Also bounds the request line and headers: a connection's whole memory, its read buffer
// included, so anything much over 8 KiB is refused.
constexpr size_t kConnectionMemory = 8 * 1024;
// A waiting viewer is off the polling loop and would not notice its client leave: while no
// frames come, the newest one goes out again this often.
constexpr auto kRepeatPeriod = std::chrono::seconds(5);

bool Feeds(Kind k) {
    return k == Kind::kMjpeg || k == Kind::kSnapshot || k == Kind::kEvents;
}

}  // namespace

WebStatus CWebServer::Shared::StatusWithOwnStats() const {
    WebStatus s = status;
    s.counters[kWebClients] = uint64_t(viewers);
    s.counters[kWebSent] = sent;
    s.counters[kWebDropped] = dropped;
    s.counters[kWebRefused] = refused.load();
    return s;
}

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
    // A suspended connection stays until resumed, so these are alive; whoever clears
    // `suspended` under the lock is the one who resumes it.
    for (MHD_Connection* c : wake)
        MHD_resume_connection(c);
}

void CWebServer::Shared::Answer(uint64_t id, int answer, const std::string& reason) {
    MHD_Connection* wake = nullptr;
    {
        std::lock_guard lock(mutex);
        for (WebRequest* r : waiting) {
            if (r->kind == Kind::kWrite && r->id == id && !r->answered) {
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

void CWebServer::Shared::AnswerPngs(const std::shared_ptr<const std::string>& png,
                                    std::vector<MHD_Connection*>* wake) {
    for (WebRequest* r : waiting) {
        if (r->kind != Kind::kPng || r->answered)
            continue;
        r->answered = true;
        r->png = png;
        --pngDemand;
        if (r->suspended) {
            r->suspended = false;
            wake->push_back(r->conn);
        }
    }
}

void CWebServer::Shared::EncodePngs() {
    std::unique_lock lock(mutex);
    for (;;) {
        encodeWake.wait(lock, [this] { return stopping || pngJob; });
        if (stopping)
            return;
        std::unique_ptr<GrayFrame> job = std::move(pngJob);
        lock.unlock();
        auto png = std::make_shared<const std::string>(
            EncodeGrayPng(job->pixels.data(), job->width, job->height));
        std::vector<MHD_Connection*> wake;
        lock.lock();
        if (!png->empty())
            lastPng = png;
        AnswerPngs(png, &wake);
        lock.unlock();
        for (MHD_Connection* c : wake)
            MHD_resume_connection(c);
        lock.lock();
    }
}

CWebServer::CWebServer(ILogSink* log, std::string version)
    : log_(log), version_(std::move(version)) {}

CWebServer::~CWebServer() {
    Stop();
}

bool CWebServer::Start(const WebSettings& settings) {
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
    auto listener =
        OpenListener(settings.bindAddress.c_str(), static_cast<uint16_t>(settings.port), 64);
    if (!listener) {
        LogMessage(log_, "Web server: %s:%d could not be opened (%s); the server runs without it.",
                   settings.bindAddress.c_str(), settings.port, std::strerror(listener.Code()));
        return false;
    }
    const int fd = listener.Value().fd.release();  // the daemon's from here on

    auto shared = std::make_shared<Shared>();
    shared->log = log_;
    shared->version = version_;
    shared->links = links_;
    shared->viewHosts = access_.viewHosts;
    shared->controlHosts = access_.controlHosts;
    shared->trail = access_.trail;
    shared->port = listener.Value().port;
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
        shared_->AnswerPngs(nullptr, &wake);
        for (WebRequest* r : shared_->waiting) {
            if (r->kind == Kind::kWrite && !r->answered) {
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
    shared_->encodeWake.notify_all();
    if (shared_->encoder.joinable())
        shared_->encoder.join();
    // The daemon refuses to stop with suspended connections.
    for (MHD_Connection* c : wake)
        MHD_resume_connection(c);
    // Waiting writes get their answer out first, briefly.
    auto writesLeft = [this] {
        std::lock_guard lock(shared_->mutex);
        return std::any_of(shared_->waiting.begin(), shared_->waiting.end(),
                           [](const WebRequest* r) { return r->kind == Kind::kWrite; });
    };
    for (int i = 0; i < 50 && writesLeft(); ++i)
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
    {
        std::lock_guard lock(shared_->mutex);
        shared_->newestFrame = frameNumber;
    }
    // Most frames nobody asks for as PNG: those are not copied.
    if (shared_->pngDemand.load() <= 0)
        return;
    auto job = std::make_unique<GrayFrame>();
    job->pixels.assign(pixels, pixels + size_t{width} * height);
    job->width = width;
    job->height = height;
    if (!shared_->encoder.joinable())
        shared_->encoder = std::thread([s = shared_.get()] { s->EncodePngs(); });
    {
        std::lock_guard lock(shared_->mutex);
        shared_->pngJob = std::move(job);  // one still untaken is older: replaced
    }
    shared_->encodeWake.notify_one();
}

void CWebServer::PublishStatus(const WebStatus& status, bool event) {
    if (!shared_)
        return;
    WebStatus shown;
    std::shared_ptr<const Part> repeat;
    std::vector<MHD_Connection*> wake;
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->status = status;
        if (status.state != "grabbing")
            shared_->AnswerPngs(shared_->lastPng, &wake);
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
    for (MHD_Connection* c : wake)
        MHD_resume_connection(c);
    if (repeat)
        shared_->Publish(shared_->jpeg, std::move(repeat));
    if (!event)
        return;
    auto part = std::make_shared<Part>();
    part->bytes = "event: status\ndata: " + RenderStatusJson(shown) + "\n\n";
    shared_->Publish(shared_->events, std::move(part));
}

bool CWebServer::JpegWanted() const {
    return shared_ && shared_->jpegDemand.load() > 0;
}

bool CWebServer::FrameWanted() const {
    return shared_ && shared_->pngDemand.load() > 0;
}

WebStatus::Channel CWebServer::Stats() const {
    if (!shared_)
        return {};
    std::lock_guard lock(shared_->mutex);
    return {shared_->viewers, shared_->sent, shared_->dropped};
}
