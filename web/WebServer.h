#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/HostList.h"
#include "base/WriteTrail.h"
#include "config/Settings.h"  // WebSettings
#include "web/WebStatus.h"

class ILogSink;

// Who may use the web server; the default lets every host do everything.
struct WebAccess {
    CHostList viewHosts;                 // any other host gets 403 for every request
    CHostList controlHosts;              // any other host gets 403 for every POST
    std::shared_ptr<CWriteTrail> trail;  // hears of every POST; null: no trail
};

// The embedded HTTP server: the live page, the MJPEG and event streams, the newest frame as
// JPEG and PNG, the status and beam JSON, the metrics, and the commands (start, stop, dark
// frame, region). One polling thread
// serves every connection; a viewer waiting for the next frame is suspended and costs no
// thread. Start, Stop, the Publish calls and the replies to commands run on the owner's
// thread; the rest on any.
class CWebServer {
  public:
    // POST /api/start, /api/stop, /api/dark; DELETE /api/dark; PUT /api/roi.
    enum class Command { kStart, kStop, kCaptureDark, kClearDark, kSetRoi };
    // What a command carries, parsed and bounded here, checked by its handler.
    struct CommandArgs {
        int frames = -1;  // kCaptureDark: the frames asked for, -1 when not given
        int32_t x = 0, y = 0, width = 0, height = 0;  // kSetRoi
    };
    // Answers a command: 204 when done, else a status and a one-line reason. Owner's thread.
    using Reply = std::function<void(int status, const std::string& reason)>;
    // Runs on the server's thread; it must see to it that `reply` is called once, later,
    // on the owner's thread.
    using CommandHandler = std::function<void(Command, const CommandArgs&, Reply)>;
    // GET /api/beam: the newest beam as JSON, "" for none yet. Runs on the server's thread.
    using BeamSource = std::function<std::string()>;
    // GET /api/dark: the dark frame in use as a 16-bit PGM, "" for none. Server's thread.
    using DarkSource = std::function<std::string()>;

    CWebServer(ILogSink* log, std::string version);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Applies from the next Start.
    void SetAccess(WebAccess access) { access_ = std::move(access); }
    void SetBeamSource(BeamSource source) { beamSource_ = std::move(source); }
    void SetDarkSource(DarkSource source) { darkSource_ = std::move(source); }
    // False (and one log line) when the address cannot be bound; also false when disabled.
    bool Start(const WebSettings& settings, CommandHandler commands);
    void Stop();
    bool IsRunning() const;
    // The bound port (the settings may ask for 0).
    uint16_t Port() const;

    // The newest false-colour JPEG, for the stream and the snapshot.
    void PublishJpeg(uint32_t frameNumber, const uint8_t* jpeg, uint32_t size);
    // The newest oriented 8-bit gray frame, for the PNG.
    void PublishFrame(uint32_t frameNumber, uint32_t width, uint32_t height, const uint8_t* pixels);
    // The newest status; `event` also sends it to the event streams (at most 10 per second).
    void PublishStatus(const WebStatus& status, bool event);

    // Whether the status is older than the events' period: a caller with a stream of small
    // changes (the frame number) publishes only then. Owner's thread.
    bool StatusDue() const;
    // Whether anyone waits for JPEGs (stream viewers or a snapshot). Any thread.
    bool JpegWanted() const;
    // Stream viewers now, and their frames sent and skipped since the start.
    WebStatus::Channel Stats() const;

    struct Shared;

  private:
    ILogSink* log_;
    std::string version_;
    WebAccess access_;
    BeamSource beamSource_;
    DarkSource darkSource_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<std::string> spareFrame_;  // owner's thread: the next gray frame's buffer
};
