// lumerix2-e2e [--seconds N] [--only throughput|large|latency|genicam]
// The whole server path in one process, as the program wires it: the synthetic camera, the
// capture hand-off, the frame pipeline on a main-thread loop and both frame servers on
// loopback, with real clients. Prints sustained frames/s, CPU per frame by stage and page
// faults per frame (unpaced camera, one reading client per channel), then the
// capture-to-client latency with ten clients per channel at the camera's 25 frames/s.
// The GenICam part does the same with the camera library's fake camera (Mono8, as fast as
// it goes), and compares the GenICam backend alone with the library's stream alone.
#include <arv.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/MessageQueue.h"
#include "bench/support/BareEncoders.h"
#include "capture/AravisBackend.h"
#include "capture/Grabber.h"
#include "capture/SyntheticCamera.h"
#include "compression/CodecSet.h"
#include "core/FramePipeline.h"
#include "net/FrameClient.h"
#include "net/FrameServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kQuality = 30;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int64_t WallMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

struct Usage {
    double cpu = 0;      // seconds, user + system
    double mainCpu = 0;  // the calling thread's
    long minorFaults = 0;
};

Usage Now() {
    rusage self{}, thread{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_THREAD, &thread);
    auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {sec(self.ru_utime) + sec(self.ru_stime), sec(thread.ru_utime) + sec(thread.ru_stime),
            self.ru_minflt};
}

// A client that reads every message and notes how late each arrived.
class Reader {
  public:
    Reader(uint16_t port, bool keepLatency) : keepLatency_(keepLatency) {
        std::string error;
        if (!client_.Connect("127.0.0.1", port, error)) {
            std::fprintf(stderr, "connect: %s\n", error.c_str());
            return;
        }
        client_.SetReceiveTimeout(5000);
        thread_ = std::thread([this] { Run(); });
    }
    ~Reader() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    uint64_t Count() const { return count_.load(); }
    uint64_t Gaps() const { return gaps_.load(); }
    // Only after the reader has stopped.
    std::vector<int64_t> TakeLatencies() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return std::move(latencies_);
    }

  private:
    void Run() {
        FrameMessage m;
        std::string error;
        uint32_t last = 0;
        while (!stop_) {
            if (client_.ReadMessage(m, error) != kReadMessage)
                break;
            if (keepLatency_)
                latencies_.push_back(WallMs() - (int64_t{m.info.time} * 1000 + m.info.millitm));
            if (last != 0 && m.info.frameNumber != last + 1)
                gaps_.fetch_add(m.info.frameNumber - last - 1);
            last = m.info.frameNumber;
            count_.fetch_add(1);
        }
    }

    CFrameClient client_;
    const bool keepLatency_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> count_{0};
    std::atomic<uint64_t> gaps_{0};
    std::vector<int64_t> latencies_;
    std::thread thread_;
};

// The server side of one run: camera, queue, codecs, pipeline, both channels.
class Server : public ICaptureEvents {
  public:
    Server(const std::string& device, int mode)
        : grabber_(nullptr, this), lossless_(&poster_, nullptr), lossy_(&poster_, nullptr) {
        ok_ =
            grabber_.Init(device, mode, -1.0, &queue_).Ok() &&
            codecs_
                .InitializeCompressionCodec(grabber_.GetWidth(), grabber_.GetHeight(), 8, kQuality)
                .Ok() &&
            lossless_.Start(0, 255, "127.0.0.1") == 1 && lossy_.Start(0, 255, "127.0.0.1") == 1;
        pipeline_.SetSinks([this](const uint8_t* m, uint32_t n) { lossless_.Distribute(m, n); },
                           [this](const uint8_t* m, uint32_t n) { lossy_.Distribute(m, n); });
        settings_.lossyEnabled = true;
        settings_.cameraName = "E2E";
    }
    ~Server() {
        grabber_.Deinit();
        lossless_.Stop();
        lossy_.Stop();
    }
    bool Ok() const { return ok_; }
    int Width() const { return grabber_.GetWidth(); }
    int Height() const { return grabber_.GetHeight(); }
    uint16_t LosslessPort() const { return lossless_.GetPort(); }
    uint16_t LossyPort() const { return lossy_.GetPort(); }
    bool Start() { return grabber_.Start().Ok(); }
    void Stop() { (void)grabber_.Stop(); }
    int Clients() const { return lossless_.GetClientCount() + lossy_.GetClientCount(); }

    // The main thread's loop for `duration`.
    void Pump(Clock::duration duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            poster_.WaitAndPump([](const PostedMessage&) {}, std::chrono::milliseconds(20));
        }
    }

    const CFramePipeline& Pipeline() const { return pipeline_; }
    uint64_t CaptureDrops() const {
        return grabber_.GetSampler() ? grabber_.GetSampler()->GetDroppedCount() : 0;
    }
    uint64_t ClientDrops() const {
        uint64_t n = 0;
        for (const auto* s : {static_cast<const CFrameServerBase*>(&lossless_),
                              static_cast<const CFrameServerBase*>(&lossy_)})
            for (const auto& st : s->GetSessionStats())
                n += st.dropped;
        return n;
    }

    // Streaming thread: the frame is processed on the main thread, as the server does, with
    // one frame-ready task waiting at a time.
    bool FrameQueued() override {
        if (readyPending_.exchange(true))
            return true;
        if (poster_.PostTask([this] { OnFrameReady(); }))
            return true;
        readyPending_ = false;
        return false;
    }
    void StreamFailed() override {}

  private:
    void OnFrameReady() {
        readyPending_ = false;
        for (int n = std::max(1, queue_.GetCount()); n > 0; --n) {
            if (!pipeline_.OnFrameReady(queue_, &codecs_, settings_))
                break;
        }
        if (queue_.GetCount() > 0 && !readyPending_.exchange(true))
            poster_.PostTask([this] { OnFrameReady(); });
    }

    std::atomic<bool> readyPending_{false};
    CMessageQueue poster_;
    CCaptureQueue queue_;
    CGrabber grabber_;
    CCodecSet codecs_{nullptr};
    CFrameServer lossless_;
    CLossyFrameServer lossy_;
    CFramePipeline pipeline_{nullptr};
    CFramePipeline::Settings settings_;
    bool ok_ = false;
};

void Throughput(const std::string& device, int mode, double seconds) {
    Server server(device, mode);
    if (!server.Ok()) {
        std::printf("%s mode %d: set-up failed\n", device.c_str(), mode);
        return;
    }
    const int w = server.Width(), h = server.Height();
    Reader lossless(server.LosslessPort(), false), lossy(server.LossyPort(), false);
    while (server.Clients() < 2)
        server.Pump(std::chrono::milliseconds(10));
    server.Start();
    server.Pump(std::chrono::seconds(2));  // warm-up: pool cache, codec tables, page faults

    const auto t0 = Clock::now();
    const Usage u0 = Now();
    const auto c0 = server.Pipeline().GetCounters();
    const auto s0 = server.Pipeline().GetStageTimes();
    server.Pump(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const Usage u1 = Now();
    const double wall = Seconds(Clock::now() - t0);
    const auto c1 = server.Pipeline().GetCounters();
    const auto s1 = server.Pipeline().GetStageTimes();
    server.Stop();

    const double frames = double(c1.processed - c0.processed);
    auto perFrame = [&](uint64_t a, uint64_t b) { return double(b - a) / frames / 1e3; };
    std::printf("%s %dx%d, 1 client per channel, %.1f s:\n", device.c_str(), w, h, wall);
    std::printf(
        "  %.0f frames/s; CPU %.0f us/frame (main thread %.0f us); %.2f page faults/frame\n",
        frames / wall, (u1.cpu - u0.cpu) / frames * 1e6, (u1.mainCpu - u0.mainCpu) / frames * 1e6,
        double(u1.minorFaults - u0.minorFaults) / frames);
    std::printf(
        "  by stage (us/frame): check+orient %.0f, lossless %.0f (encoder workers), waiting "
        "for it %.0f, spot %.0f, jpeg %.0f (side thread), waiting for jpeg %.0f, "
        "hand-off+status %.0f\n",
        perFrame(s0.check, s1.check), perFrame(s0.lossless, s1.lossless),
        perFrame(s0.losslessWait, s1.losslessWait), perFrame(s0.spot, s1.spot),
        perFrame(s0.jpeg, s1.jpeg), perFrame(s0.jpegWait, s1.jpegWait),
        perFrame(s0.distribute, s1.distribute));
    std::printf("  clients read %llu lossless, %llu lossy; client-queue drops %llu\n",
                (unsigned long long)lossless.Count(), (unsigned long long)lossy.Count(),
                (unsigned long long)server.ClientDrops());

    // The libraries alone on a frame of the same camera, in the same run.
    SyntheticSpot spot;
    std::vector<uint8_t> gray;
    RenderSyntheticGray(spot, uint32_t(w), uint32_t(h), 0, &gray);
    CBareHuffyuv huffyuv(gray, w, h);
    CBareJpeg jpeg(gray, w, h, kQuality);
    auto time = [](auto&& encode) {
        const int n = 100;
        encode();
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i)
            encode();
        return Seconds(Clock::now() - start) / n * 1e6;
    };
    const double bareH = time([&] { huffyuv.Encode(); });
    const double bareJ = time([&] { jpeg.Encode(); });
    const double ours = wall / frames * 1e6;
    std::printf(
        "  bare libavcodec HuffYUV %.0f us, bare libjpeg %.0f us; server wall per frame %.0f us "
        "= %.2fx the slower\n",
        bareH, bareJ, ours, ours / std::max(bareH, bareJ));
}

void Latency(double seconds) {
    Server server("synthetic:0", 0);  // paced: 768 x 574 at 25 frames/s
    if (!server.Ok()) {
        std::printf("latency: set-up failed\n");
        return;
    }
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < 10; ++i) {
        readers.push_back(std::make_unique<Reader>(server.LosslessPort(), true));
        readers.push_back(std::make_unique<Reader>(server.LossyPort(), true));
    }
    while (server.Clients() < 20)
        server.Pump(std::chrono::milliseconds(10));
    server.Start();
    server.Pump(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    server.Stop();
    server.Pump(std::chrono::milliseconds(200));
    std::vector<int64_t> all;
    uint64_t gaps = 0;
    for (auto& r : readers) {
        gaps += r->Gaps();
        auto l = r->TakeLatencies();
        all.insert(all.end(), l.begin(), l.end());
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? -1 : all[size_t(p * double(all.size() - 1))]; };
    std::printf(
        "768x574 at 25 frames/s, 10 clients per channel, %.0f s: %zu messages, latency p50 %lld "
        "ms, p99 %lld ms, max %lld ms; capture drops %llu, pipeline drains %llu, client drops "
        "%llu, "
        "missing frame numbers %llu\n",
        seconds, all.size(), (long long)pct(0.5), (long long)pct(0.99),
        (long long)(all.empty() ? -1 : all.back()), (unsigned long long)server.CaptureDrops(),
        (unsigned long long)server.Pipeline().GetCounters().drained,
        (unsigned long long)server.ClientDrops(), (unsigned long long)gaps);
}

// Frames/s and process CPU per frame of `run`, which streams for `seconds` and returns
// the frames it saw.
struct StreamFigures {
    double fps = 0;
    double cpuUs = 0;
};
StreamFigures Measure(double seconds, const std::function<uint64_t(double)>& run) {
    const Usage u0 = Now();
    const auto t0 = Clock::now();
    const uint64_t frames = run(seconds);
    const double wall = Seconds(Clock::now() - t0);
    const Usage u1 = Now();
    if (frames == 0)
        return {};
    return {double(frames) / wall, (u1.cpu - u0.cpu) / double(frames) * 1e6};
}

// The library's stream alone: the fake camera, eight buffers, each popped and pushed back
// on the stream thread, as its own examples do.
uint64_t BareAravisStream(int width, int height, double seconds) {
    GError* e = nullptr;
    ArvCamera* camera = arv_camera_new("Fake_1", &e);
    if (camera == nullptr)
        return 0;
    arv_camera_set_region(camera, 0, 0, width, height, &e);
    arv_camera_set_pixel_format(camera, ARV_PIXEL_FORMAT_MONO_8, &e);
    arv_camera_set_frame_rate(camera, 1000, &e);
    std::atomic<uint64_t> frames{0};
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &e);
    const guint payload = arv_camera_get_payload(camera, &e);
    for (int i = 0; i < 8; ++i)
        arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    auto handler = +[](ArvStream* s, gpointer counter) {
        if (ArvBuffer* b = arv_stream_try_pop_buffer(s)) {
            if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS)
                static_cast<std::atomic<uint64_t>*>(counter)->fetch_add(1);
            arv_stream_push_buffer(s, b);
        }
    };
    g_signal_connect(stream, "new-buffer", G_CALLBACK(handler), &frames);
    arv_stream_set_emit_signals(stream, TRUE);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t start = frames.load();
    arv_camera_start_acquisition(camera, &e);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    arv_camera_stop_acquisition(camera, &e);
    arv_stream_set_emit_signals(stream, FALSE);
    g_object_unref(stream);
    g_object_unref(camera);
    g_clear_error(&e);
    return frames.load() - start;
}

// The backend alone: the same camera through the capture device interface, every frame
// handed to a callback that only counts it.
uint64_t BackendStream(CAravisBackend& backend, int width, int height, double seconds) {
    auto opened = backend.Open("aravis:Fake_1?width=" + std::to_string(width) +
                               "&height=" + std::to_string(height) + "&rate=1000");
    if (!opened)
        return 0;
    auto& device = opened.Value();
    auto caps = device->GetCapabilities();
    if (!caps || caps.Value().empty() || !device->SetFormat(caps.Value()[0]) || !device->Connect())
        return 0;
    std::atomic<uint64_t> frames{0};
    if (!device->Start([&frames](const MediaSample&) { frames.fetch_add(1); }, {}))
        return 0;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    (void)device->Stop();
    return frames.load();
}

void Genicam(double seconds) {
    SetGenicamInterfaces({false, false, true});
    CAravisBackend backend;
    for (const auto& [w, h] : {std::pair{768, 574}, std::pair{1920, 1080}}) {
        // Alternating, twice each, so that both see the same machine.
        StreamFigures bare, ours;
        for (int round = 0; round < 2; ++round) {
            const StreamFigures b =
                Measure(seconds / 2, [&](double s) { return BareAravisStream(w, h, s); });
            const StreamFigures o =
                Measure(seconds / 2, [&](double s) { return BackendStream(backend, w, h, s); });
            bare = {bare.fps + b.fps / 2, bare.cpuUs + b.cpuUs / 2};
            ours = {ours.fps + o.fps / 2, ours.cpuUs + o.cpuUs / 2};
        }
        std::printf(
            "fake camera %dx%d Mono8: library stream alone %.0f frames/s, %.0f us CPU/frame; "
            "through the backend %.0f frames/s, %.0f us CPU/frame (%.3fx)\n",
            w, h, bare.fps, bare.cpuUs, ours.fps, ours.cpuUs, ours.cpuUs / bare.cpuUs);
        Throughput("aravis:Fake_1?width=" + std::to_string(w) + "&height=" + std::to_string(h) +
                       "&rate=1000",
                   0, seconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::string only;
    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        if (arg == "--seconds" && a + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++a]));
        else if (arg == "--only" && a + 1 < argc)
            only = argv[++a];
        else {
            std::fprintf(
                stderr,
                "usage: lumerix2-e2e [--seconds N] [--only throughput|large|latency|genicam]\n");
            return 2;
        }
    }
    if (only.empty() || only == "throughput") {
        Throughput("synthetic:0?pace=0", 4, seconds);  // 768 x 574 gray
        Throughput("synthetic:0?pace=0", 8, seconds);  // 1920 x 1080 gray
    }
    // The large cameras at their own rates (75 and 30 frames/s), and unpaced.
    if (only.empty() || only == "large") {
        for (const char* device : {"synthetic:0", "synthetic:0?pace=0"}) {
            Throughput(device, 9, seconds);   // 2448 x 2048 gray
            Throughput(device, 10, seconds);  // 4096 x 3000 gray
        }
    }
    if (only.empty() || only == "latency")
        Latency(seconds);
    if (only.empty() || only == "genicam")
        Genicam(seconds);
    return 0;
}
