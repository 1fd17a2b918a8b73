#pragma once

// The web server's inside, shared by its source files: what one request carries and what
// the polling thread, the PNG encoder and the owner's thread share.
#include <microhttpd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/WebServer.h"

namespace web {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxBody = 1024;
constexpr char kBoundary[] = "lumerix2frame";
constexpr auto kEventPeriod = std::chrono::milliseconds(100);
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

// kWrite and kPng wait for an answer made on another thread.
enum class Kind { kPlain, kMjpeg, kSnapshot, kEvents, kWrite, kPng };

// A frame for the PNG encoder.
struct GrayFrame {
    std::vector<uint8_t> pixels;
    uint32_t width = 0, height = 0;
};

}  // namespace web

// One request in flight; owned by its connection from the first call of the access
// handler to the completion notice.
struct WebRequest {
    CWebServer::Shared* shared = nullptr;
    MHD_Connection* conn = nullptr;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    web::Kind kind = web::Kind::kPlain;
    size_t body = 0;
    std::string bodyText;    // at most kMaxBody bytes
    std::string trailValue;  // writes: what the trail shows as the written value
    std::string path;
    // Streams: the part being sent and how far.
    std::shared_ptr<const web::Part> part;
    size_t offset = 0;
    size_t end = 0;
    uint64_t seq = 0;
    bool suspended = false;  // by us, and not yet resumed
    // Writes and PNGs: the answer, once made.
    uint64_t id = 0;
    bool queued = false;
    bool answered = false;
    int status = 0;
    std::string reason;
    std::shared_ptr<const std::string> png;
};

struct CWebServer::Shared : std::enable_shared_from_this<CWebServer::Shared> {
    ILogSink* log = nullptr;
    std::string version;
    WebLinks links;
    CHostList viewHosts;  // these fixed while the daemon runs
    CHostList controlHosts;
    std::shared_ptr<CWriteTrail> trail;
    MHD_Daemon* daemon = nullptr;
    uint16_t port = 0;
    std::thread encoder;  // owner's thread: started and joined
    std::atomic<int> jpegDemand{0};
    std::atomic<int> pngDemand{0};
    std::atomic<uint64_t> refused{0};  // requests the access lists refused

    mutable std::mutex mutex;  // guards everything below
    std::condition_variable encodeWake;
    bool stopping = false;
    web::Feed jpeg;
    web::Feed events;
    web::Clock::time_point lastJpeg{};
    uint32_t newestFrame = 0;
    std::unique_ptr<web::GrayFrame> pngJob;      // the frame the encoder takes next
    std::shared_ptr<const std::string> lastPng;  // answers PNG requests while stopped
    WebStatus status;
    web::Clock::time_point lastEvent{};
    std::string lastEventState;
    std::vector<WebRequest*> waiting;  // streams, writes and PNGs: what may be suspended
    uint64_t nextId = 0;
    int viewers = 0;
    int snapshotWaiters = 0;
    uint64_t sent = 0;
    uint64_t dropped = 0;

    void UpdateDemand() { jpegDemand.store(viewers + snapshotWaiters); }
    WebStatus StatusWithOwnStats() const;
    // Makes `part` the newest of `feed` and resumes the viewers waiting for it.
    void Publish(web::Feed& feed, std::shared_ptr<const web::Part> part);
    // Answers the write `id` and resumes it.
    void Answer(uint64_t id, int status, const std::string& reason);
    // Under the lock: gives every waiting PNG request `png` (null: 503) and lists the
    // connections to resume.
    void AnswerPngs(const std::shared_ptr<const std::string>& png,
                    std::vector<MHD_Connection*>* wake);
    // The encoder thread's loop.
    void EncodePngs();
};

namespace web {

MHD_Result Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type,
                const char* extraName = nullptr, const char* extraValue = nullptr);
MHD_Result SendText(MHD_Connection* c, unsigned status, const std::string& line);
// One line of the write trail for a write and the status it was answered with.
void TrailWrite(const WebRequest* r, const std::string& url, int status);
// The streams and the pictures (WebStreams.cpp).
MHD_Result StartStream(WebRequest* r, Kind kind, const char* type);
MHD_Result Snapshot(WebRequest* r);
MHD_Result FramePng(WebRequest* r);
// Runs `work` on the main thread and answers the write with its outcome (WebRoutes.cpp).
MHD_Result QueueWrite(WebRequest* r, std::function<CResult<>()> work);
// The answer of a write or PNG request once it came.
MHD_Result SendAnswer(WebRequest* r);
// The libmicrohttpd callbacks (WebRoutes.cpp).
MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                     const char* version, const char* upload, size_t* uploadSize, void** context);
void OnCompleted(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode code);

}  // namespace web
