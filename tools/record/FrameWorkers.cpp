#include "tools/record/FrameWorkers.h"

#include <algorithm>
#include <cstring>

#include "compression/HuffyuvDecoder.h"
#include "processing/SpotAnalyzer.h"

namespace {

// The server's own spot measurement.
constexpr uint16_t kSpotHarmonics = 5;
constexpr uint16_t kSpotIterations = 1;

}  // namespace

void MeasureSpot(const uint8_t* gray, uint32_t width, uint32_t height, double spot[4]) {
    for (int i = 0; i < 4; ++i)
        spot[i] = -1;
    const size_t n = size_t{width} * height;
    if (n < 2 || std::memcmp(gray, gray + 1, n - 1) == 0)
        return;
    SpotAnalyzer a(gray, kSpotHarmonics, kSpotIterations, width, height);
    if (!a.HasProjections())
        return;
    a.Compute();
    spot[0] = a.GetXm();
    spot[1] = a.GetYm();
    spot[2] = a.GetXrms();
    spot[3] = a.GetYrms();
}

CFrameWorkers::CFrameWorkers(unsigned threads, int deflate, const BeamSetup& beam)
    : deflate_(deflate), beam_(beam) {
    for (unsigned i = 0; i < std::max(1u, threads); ++i)
        threads_.emplace_back([this] { Run(); });
}

CFrameWorkers::~CFrameWorkers() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    for (auto& t : threads_)
        t.join();
}

void CFrameWorkers::Submit(std::unique_ptr<FrameJob> job) {
    job->sequence = submitted_++;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(job));
    }
    work_.notify_one();
}

std::unique_ptr<FrameJob> CFrameWorkers::Next(bool wait) {
    if (InFlight() == 0)
        return nullptr;
    std::unique_lock lock(mutex_);
    auto ready = [this] { return done_.count(taken_) != 0; };
    if (wait)
        finished_.wait(lock, ready);
    else if (!ready())
        return nullptr;
    auto node = done_.extract(taken_);
    ++taken_;
    return std::move(node.mapped());
}

void CFrameWorkers::Run() {
    CHuffyuvDecoder decoder;  // one per thread: it keeps its codec open between frames
    CBeamAnalyzer analyzer;   // one per thread: it keeps its buffers
    for (;;) {
        std::unique_ptr<FrameJob> job;
        {
            std::unique_lock lock(mutex_);
            work_.wait(lock, [this] { return stop_ || !pending_.empty(); });
            if (stop_)
                return;
            job = std::move(pending_.front());
            pending_.pop_front();
        }
        const MessageInfo& i = job->message.info;
        job->decoded = i.bitsPerPixel == 8 &&
                       decoder.DecodeMessage(job->message.bytes.data(), job->message.bytes.size(),
                                             job->gray, job->width, job->height);
        job->row = FrameRow{};
        job->row.frameNumber = i.frameNumber;
        job->row.timestamp = double(i.time) + i.millitm / 1000.0;
        job->row.scale = i.scale;
        job->packed.clear();
        if (job->decoded) {
            MeasureSpot(job->gray.data(), job->width, job->height, job->row.spot);
            MeasureBeam(analyzer, job->gray.data(), job->width, job->height, beam_, &job->row);
            if (deflate_ > 0 &&
                !DeflateFrame(job->gray.data(), job->gray.size(), deflate_, job->packed))
                job->packed.clear();
        }
        {
            std::lock_guard lock(mutex_);
            const uint64_t sequence = job->sequence;
            done_.emplace(sequence, std::move(job));
        }
        finished_.notify_one();
    }
}
