#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/HostInterfaces.h"

// Announces the running server in the machine environment file: the line "LUMERIX2=on".
// Its worker thread writes on request (the environment timer), and only when the line is
// missing or says something else; the file's other lines, their order and its permissions
// stay, and the file is replaced atomically. A file the process may not write is left
// alone silently. The line stays after the server exits. Start, Request and Stop on the
// main thread.
class CEnvironmentPublisher : public IEnvironmentPublisher {
  public:
    static constexpr const char* kDefaultPath = "/etc/environment";

    explicit CEnvironmentPublisher(std::string path = kDefaultPath) : path_(std::move(path)) {}
    ~CEnvironmentPublisher() override { Stop(); }
    CEnvironmentPublisher(const CEnvironmentPublisher&) = delete;
    CEnvironmentPublisher& operator=(const CEnvironmentPublisher&) = delete;

    void Start() override;
    void Request() override;
    void Stop() override;

    // One publication, on the calling thread: true when the file holds the line afterwards.
    bool PublishNow();

  private:
    void Run();

    const std::string path_;
    std::mutex mutex_;  // guards requested_, running_
    std::condition_variable changed_;
    bool requested_ = false;
    bool running_ = false;
    std::thread thread_;
};

// The text of an environment file with "NAME=value" set: the first line for NAME is
// corrected in place (or the line appended), every other line kept as it was.
std::string WithEnvironmentLine(const std::string& text, const std::string& name,
                                const std::string& value);
