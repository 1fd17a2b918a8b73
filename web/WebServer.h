#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/ControllerRequests.h"
#include "base/HostList.h"
#include "base/MessagePoster.h"
#include "base/Result.h"
#include "base/WriteTrail.h"
#include "config/Settings.h"  // WebSettings
#include "web/WebStatus.h"

class ILogSink;

// Who may use the web server; the default lets every host do everything.
struct WebAccess {
    CHostList viewHosts;                 // any other host gets 403 for every request
    CHostList controlHosts;              // any other host gets 403 for every write
    std::shared_ptr<CWriteTrail> trail;  // hears of every write; null: no trail
};

// The beam measurement as the web server reaches it. The error codes of the main-thread
// calls are the HTTP status the asker gets.
class IWebBeam {
  public:
    virtual ~IWebBeam() = default;
    // GET /api/beam (with the profiles), GET /api/stability: JSON, "" before the first
    // result. Any thread.
    virtual std::string BeamJson() const = 0;
    virtual std::string StabilityJson() const = 0;
    // DELETE /api/stability. Any thread.
    virtual void ResetStability() = 0;
    // PUT /api/roi. Main thread.
    virtual CResult<> SetRegion(const std::array<int32_t, 4>& region) = 0;
    // POST /api/dark (`frames` as asked, or the default) and DELETE (0). Main thread.
    virtual CResult<> DarkFrame(int frames) = 0;
    // GET /api/dark: the dark frame in use as the 16-bit PGM the server stores, "" for none.
    // Any thread.
    virtual std::string DarkPgm() const = 0;
};

// Where the web server's writes go: each runs as a task on the main thread through `poster`
// and is answered with its outcome. A missing link answers 503.
struct WebLinks {
    IMessagePoster* poster = nullptr;
    IControllerRequests* controller = nullptr;  // start, stop
    IWebBeam* beam = nullptr;                   // also the readers of the beam
};

// The embedded HTTP server: the live page, the MJPEG and event streams, the newest frame as
// JPEG and PNG, the status, beam and stability JSON, the metrics, and the writes (start,
// stop, dark frame, region, stability reset). One polling thread serves every connection; a
// viewer waiting for the next frame is suspended and costs no thread; PNGs are encoded on a
// thread of their own. Start, Stop and the Publish calls run on the owner's thread; the rest
// on any.
class CWebServer {
  public:
    CWebServer(ILogSink* log, std::string version);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Both apply from the next Start; the links must outlive the server's run.
    void SetAccess(WebAccess access) { access_ = std::move(access); }
    void SetLinks(WebLinks links) { links_ = links; }
    // False (and one log line) when the address cannot be bound; also false when disabled.
    bool Start(const WebSettings& settings);
    void Stop();
    bool IsRunning() const;
    // The bound port (the settings may ask for 0).
    uint16_t Port() const;

    // The newest false-colour JPEG, for the stream and the snapshot.
    void PublishJpeg(uint32_t frameNumber, const uint8_t* jpeg, uint32_t size);
    // The newest oriented 8-bit gray frame: copied only while a PNG request waits for it.
    void PublishFrame(uint32_t frameNumber, uint32_t width, uint32_t height, const uint8_t* pixels);
    // The newest status; `event` also sends it to the event streams (at most 10 per second).
    void PublishStatus(const WebStatus& status, bool event);

    // Whether anyone waits for JPEGs (stream viewers or a snapshot). Any thread.
    bool JpegWanted() const;
    // Whether a PNG request waits for the next gray frame. Any thread.
    bool FrameWanted() const;
    // Stream viewers now, and their frames sent and skipped since the start.
    WebStatus::Channel Stats() const;

    struct Shared;

  private:
    ILogSink* log_;
    std::string version_;
    WebAccess access_;
    WebLinks links_;
    std::shared_ptr<Shared> shared_;
};
