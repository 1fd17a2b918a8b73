// lumerix2-record HOST:PORT --output FILE.h5 [--frames N | --seconds S] [--deflate 0-9]
//                 [--timeout S] [--web HOST:PORT] [--overwrite]
// Records the frames of a Lossless channel into an HDF5 file in the NeXus layout, with
// each frame's number, time, scale, spot and beam, and the beam's stability.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/HostPort.h"
#include "base/Version.h"
#include "net/FrameClient.h"
#include "tools/record/FrameWorkers.h"
#include "tools/record/NexusWriter.h"
#include "tools/record/ServerBeam.h"

namespace {

using Clock = std::chrono::steady_clock;

enum ExitCode : int {
    kDone = 0,
    kFailed = 1,
    kUsage = 2,
    kSizeChanged = 3,
    kDiskFull = 4,
};

// Frame numbers of undecodable frames named in the summary; the count covers the rest.
constexpr size_t kNamedFailures = 20;

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: lumerix2-record HOST:PORT --output FILE.h5 [--frames N | --seconds S]\n"
        // "L", not the digits: the package checker takes "deflate <digit>" for a copy of zlib.
        "                       [--deflate L] [--timeout S] [--web HOST:PORT] [--overwrite]\n"
        "  Records the frames of a Lossless channel into an HDF5 file (NeXus layout):\n"
        "  pixels, frame numbers, times, scale, spot and beam of every frame, and the\n"
        "  beam's stability over the recording.\n"
        "  --output FILE   the file to write; an existing file is refused\n"
        "  --frames N      stop after N frames\n"
        "  --seconds S     stop after S seconds (default: until Ctrl-C or SIGTERM)\n"
        "  --deflate L     compress each frame with deflate level L, 0-9\n"
        "                  (0: none, default)\n"
        "  --timeout S     give up when no byte arrives for S seconds (default 5)\n"
        "  --web HOST:PORT measure the beam in the region and with the dark frame that\n"
        "                  the server's web server gives at the start (default: the\n"
        "                  whole frame, background estimated)\n"
        "  --overwrite     replace an existing output file\n"
        "  --version       print the version\n"
        "exit status:\n"
        "  0  done, or stopped by Ctrl-C or SIGTERM (the file is closed cleanly)\n"
        "  1  server not reachable, not a Lossless channel, stream ended or stalled,\n"
        "     or the file could not be written (it keeps what was written)\n"
        "  2  bad command line, or the output file exists\n"
        "  3  the frame size changed; the file ends with the last frame of the old size\n"
        "  4  disk full or file size limit reached; the file keeps every complete frame\n");
}

bool ParseNumber(const char* text, double lo, double hi, double& value) {
    auto [end, ec] = std::from_chars(text, text + std::strlen(text), value);
    return ec == std::errc() && *end == '\0' && value >= lo && value <= hi;
}

// The channel's bytes, read so that a stop request or a silent server ends the wait.
class CWatchedSource : public IByteSource {
  public:
    CWatchedSource(CFrameClient& client, int timeoutMs) : client_(client), timeoutMs_(timeoutMs) {}

    ssize_t Read(void* buffer, size_t length) override {
        int waited = 0;
        for (;;) {
            if (g_stop) {
                errno = ECANCELED;
                return -1;
            }
            pollfd p{client_.GetHandle(), POLLIN, 0};
            const int step = 100;
            const int rc = ::poll(&p, 1, step);
            if (rc > 0)
                return client_.Read(buffer, length);
            if (rc < 0 && errno != EINTR)
                return -1;
            if (rc == 0 && (waited += step) >= timeoutMs_) {
                errno = EAGAIN;
                return -1;
            }
        }
    }

  private:
    CFrameClient& client_;
    const int timeoutMs_;
};

struct Stats {
    uint64_t received = 0;
    uint64_t missed = 0;  // gaps in the frame numbers
    uint64_t failed = 0;  // frames that did not decode
    std::vector<uint32_t> failedNumbers;
    double MegaBytes(const CNexusWriter& w) const { return double(w.DataBytes()) / 1e6; }
};

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Progress(bool tty, const CNexusWriter& w, const Stats& s, double seconds) {
    const double rate = seconds > 0 ? double(w.Frames()) / seconds : 0;
    if (tty)
        std::printf("\r%llu frames  %.1f frames/s  %.1f MB  %llu missed   ",
                    (unsigned long long)w.Frames(), rate, s.MegaBytes(w),
                    (unsigned long long)s.missed);
    else
        std::printf("%llu frames, %.1f frames/s, %.1f MB, %llu missed\n",
                    (unsigned long long)w.Frames(), rate, s.MegaBytes(w),
                    (unsigned long long)s.missed);
    std::fflush(stdout);
}

void Summary(const CNexusWriter& w, const Stats& s, double seconds, const std::string& path) {
    std::printf("%llu frames written to %s, %llu frame numbers missed, %.2f s, %.1f MB/s\n",
                (unsigned long long)w.Frames(), path.c_str(), (unsigned long long)s.missed, seconds,
                seconds > 0 ? s.MegaBytes(w) / seconds : 0.0);
    if (s.failed > 0) {
        std::printf("%llu frames not decoded and skipped:", (unsigned long long)s.failed);
        for (uint32_t n : s.failedNumbers)
            std::printf(" %u", n);
        std::printf("%s\n", s.failed > s.failedNumbers.size() ? " ..." : "");
    }
    std::fflush(stdout);
}

struct Options {
    std::string address, output, web;
    double frames = 0, seconds = 0, deflate = 0, timeout = 5;
    bool overwrite = false;
};

// The writing side of a recording: the file, the counts and what the user sees.
struct Recording {
    Recording(const Options& options, const std::string& name, const BeamSetup& setup,
              bool terminal)
        : o(options), program(name), beam(setup), tty(terminal) {}

    const Options& o;
    const std::string& program;
    const BeamSetup& beam;
    const bool tty;
    CNexusWriter writer;
    // The newest valid beams of the recording (all of it up to this many).
    CStability stability{CStability::kMaxFrames};
    Stats stats;
    bool created = false;
    bool statusLine = false;  // a status line without its newline is on the terminal
    Clock::time_point start = Clock::now();
    Clock::time_point lastFlush = start;
    Clock::time_point lastProgress = start;

    void EndStatusLine() {
        if (statusLine)
            std::printf("\n");
        std::fflush(stdout);
        statusLine = false;
    }

    int Fail(int code, const std::string& text) {
        EndStatusLine();
        std::fprintf(stderr, "lumerix2-record: %s\n", text.c_str());
        return code;
    }

    // Appends one frame (or counts it as not decoded); kDone or the exit code.
    int Write(const FrameJob& job) {
        std::string error;
        if (!job.decoded) {
            if (++stats.failed <= kNamedFailures)
                stats.failedNumbers.push_back(job.row.frameNumber);
            return kDone;
        }
        if (!created) {
            const MessageInfo& i = job.message.info;
            const RecordGeometry g{job.width, job.height, i.bitsPerPixel, i.frameRate};
            if (!writer.Create(o.output, o.overwrite, int(o.deflate), g, o.address, program,
                               SetupAttributes(beam), error))
                return Fail(kFailed, error);
            created = true;
        }
        const WriteResult w = writer.Append(job.gray.data(), &job.packed, job.row, error);
        if (w != WriteResult::kOk)
            return Fail(w == WriteResult::kFull ? kDiskFull : kFailed, error);
        const FrameRow& b = job.row;
        if (b.beamValid)
            stability.Add(StabilitySample{b.frameNumber, b.timestamp, b.centroid[0], b.centroid[1],
                                          b.d4sigma[0], b.d4sigma[1], b.total});
        const auto now = Clock::now();
        const bool progress = now - lastProgress >= std::chrono::milliseconds(tty ? 250 : 1000);
        // Flushed before each status line too, so the count it shows is safe in the file.
        if (progress || now - lastFlush >= std::chrono::milliseconds(500)) {
            if (!writer.Flush(error))
                return Fail(kFailed, error);
            lastFlush = now;
        }
        if (progress) {
            Progress(tty, writer, stats, Seconds(start));
            statusLine = tty;
            lastProgress = now;
        }
        return kDone;
    }

    int Finish(int code) {
        const double seconds = Seconds(start);
        EndStatusLine();
        std::string error;
        StabilityResult figures;
        stability.Compute(&figures);
        const bool put =
            !created || writer.PutAttributes("/entry/beam", StabilityAttributes(figures), error);
        if (!put && code == kDone)
            code = Fail(kFailed, error);
        if (!writer.Close(error) && code == kDone)
            code = Fail(kFailed, error);
        if (!created) {
            std::printf("no frame recorded; %s not written\n", o.output.c_str());
            return code;
        }
        Summary(writer, stats, seconds, o.output);
        return code;
    }
};

// kDone when the options are complete; otherwise the exit code (usage printed).
int ParseOptions(int argc, char** argv, Options& o) {
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const bool hasValue = a + 1 < argc;
        const char* problem = nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        } else if (arg == "--version") {
            std::printf("lumerix2-record %s\n", kLumerixVersion);
            return -1;
        } else if (arg == "--overwrite") {
            o.overwrite = true;
        } else if (arg == "--web" && hasValue) {
            o.web = argv[++a];
        } else if (arg == "--output" && hasValue) {
            o.output = argv[++a];
        } else if (arg == "--frames" && hasValue) {
            if (!ParseNumber(argv[++a], 1, 4e9, o.frames) || o.frames != double(uint64_t(o.frames)))
                problem = "--frames needs a whole number from 1";
        } else if (arg == "--seconds" && hasValue) {
            if (!ParseNumber(argv[++a], 0.001, 1e7, o.seconds))
                problem = "--seconds needs a positive number";
        } else if (arg == "--deflate" && hasValue) {
            if (!ParseNumber(argv[++a], 0, 9, o.deflate) || o.deflate != double(int(o.deflate)))
                problem = "--deflate needs a level from 0 to 9";
        } else if (arg == "--timeout" && hasValue) {
            if (!ParseNumber(argv[++a], 0.1, 86400, o.timeout))
                problem = "--timeout needs 0.1 to 86400 seconds";
        } else if (o.address.empty() && !arg.empty() && arg[0] != '-') {
            o.address = arg;
        } else {
            Usage(stderr);
            return kUsage;
        }
        if (problem != nullptr) {
            std::fprintf(stderr, "lumerix2-record: %s\n", problem);
            return kUsage;
        }
    }
    if (o.frames > 0 && o.seconds > 0) {
        std::fprintf(stderr, "lumerix2-record: --frames and --seconds exclude each other\n");
        return kUsage;
    }
    if (o.address.empty() || o.output.empty()) {
        Usage(stderr);
        return kUsage;
    }
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = ParseOptions(argc, argv, o); rc != kDone)
        return rc < 0 ? kDone : rc;
    std::string host;
    uint16_t port = 0;
    if (!ParseHostPort(o.address, host, port)) {
        std::fprintf(stderr, "lumerix2-record: \"%s\" is not HOST:PORT\n", o.address.c_str());
        return kUsage;
    }
    if (!o.overwrite && access(o.output.c_str(), F_OK) == 0) {
        std::fprintf(stderr, "lumerix2-record: %s exists (--overwrite replaces it)\n",
                     o.output.c_str());
        return kUsage;
    }
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // errors are reported here, once
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A file-size limit must show as a failed write, not end the process.
    signal(SIGXFSZ, SIG_IGN);

    std::string error;
    BeamSetup beam;
    if (!o.web.empty() && !FetchBeamSetup(o.web, int(o.timeout * 1000), &beam, &error)) {
        std::fprintf(stderr, "lumerix2-record: %s\n", error.c_str());
        return kFailed;
    }
    CFrameClient client;
    if (!client.Connect(host, port, error)) {
        std::fprintf(stderr, "lumerix2-record: cannot connect to %s: %s\n", o.address.c_str(),
                     error.c_str());
        return kFailed;
    }
    CWatchedSource source(client, static_cast<int>(o.timeout * 1000));
    const std::string program = std::string("lumerix2-record ") + kLumerixVersion;
    Recording r(o, program, beam, isatty(STDOUT_FILENO) == 1);
    int code = kDone;                // why reading ended
    int writeCode = kDone;           // the first write failure
    uint32_t width = 0, height = 0;  // of the first frame
    {
        // Decoding is the costly step: as many workers as the machine has cores, up to 4.
        CFrameWorkers workers(std::clamp(std::thread::hardware_concurrency(), 1u, 4u),
                              int(o.deflate), beam);
        const uint64_t inFlightLimit = 12;
        std::vector<std::unique_ptr<FrameJob>> spare;
        uint32_t lastNumber = 0;
        while (!g_stop && code == kDone && writeCode == kDone) {
            if (o.frames > 0 && double(r.stats.received) >= o.frames)
                break;
            if (o.seconds > 0 && Seconds(r.start) >= o.seconds)
                break;
            std::unique_ptr<FrameJob> job;
            if (spare.empty()) {
                job = std::make_unique<FrameJob>();
            } else {
                job = std::move(spare.back());
                spare.pop_back();
            }
            const int rc = ReadMessage(source, job->message, error);
            if (g_stop)
                break;
            const MessageInfo& i = job->message.info;
            if (rc != kReadMessage) {
                if (rc == kReadEnd)
                    error = "the server closed the connection";
                code = r.Fail(kFailed, error);
            } else if (i.kind != MessageKind::Lossless) {
                code = r.Fail(kFailed, o.address + " is not a Lossless channel");
            } else if (width != 0 && (i.width != width || i.height != height)) {
                code = r.Fail(kSizeChanged, "frame " + std::to_string(i.frameNumber) + " is " +
                                                std::to_string(i.width) + "x" +
                                                std::to_string(i.height) + ", the recording " +
                                                std::to_string(width) + "x" +
                                                std::to_string(height) + ": the file ends here");
            }
            if (code != kDone)
                break;
            width = i.width;
            height = i.height;
            ++r.stats.received;
            if (lastNumber != 0 && i.frameNumber > lastNumber + 1)
                r.stats.missed += i.frameNumber - lastNumber - 1;
            lastNumber = i.frameNumber;
            workers.Submit(std::move(job));
            while (writeCode == kDone) {
                auto done = workers.Next(workers.InFlight() >= inFlightLimit);
                if (done == nullptr)
                    break;
                writeCode = r.Write(*done);
                spare.push_back(std::move(done));
            }
        }
        // Every frame received before the end goes into the file.
        while (auto done = workers.Next(true)) {
            if (writeCode == kDone)
                writeCode = r.Write(*done);
        }
    }
    return r.Finish(writeCode != kDone ? writeCode : code);
}
