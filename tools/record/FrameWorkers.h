#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/FrameClient.h"
#include "tools/record/NexusWriter.h"
#include "tools/record/ServerBeam.h"

// One received frame on its way to the file.
struct FrameJob {
    FrameMessage message;
    std::vector<uint8_t> gray;    // the decoded image, width x height
    std::vector<uint8_t> packed;  // its deflated chunk; empty when stored as it is
    uint32_t width = 0;
    uint32_t height = 0;
    FrameRow row;
    bool decoded = false;
    uint64_t sequence = 0;
};

// Decodes frames, measures their spots and beams and deflates them on a few worker threads (these
// cost more than everything else a frame needs) and gives them back in the order they were
// submitted. Owned and used by one thread; the workers are joined by the destructor.
class CFrameWorkers {
  public:
    // `deflate`: the level each frame is compressed with (0: none). `beam` outlives this.
    CFrameWorkers(unsigned threads, int deflate, const BeamSetup& beam);
    ~CFrameWorkers();
    CFrameWorkers(const CFrameWorkers&) = delete;
    CFrameWorkers& operator=(const CFrameWorkers&) = delete;

    void Submit(std::unique_ptr<FrameJob> job);
    // The oldest submitted job once it is done: waits for it when `wait`, else null when it
    // is not done yet; null when nothing is in flight.
    std::unique_ptr<FrameJob> Next(bool wait);
    uint64_t InFlight() const { return submitted_ - taken_; }

  private:
    void Run();

    std::mutex mutex_;  // guards pending_, done_ and stop_
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<std::unique_ptr<FrameJob>> pending_;
    std::map<uint64_t, std::unique_ptr<FrameJob>> done_;
    bool stop_ = false;
    uint64_t submitted_ = 0;  // owner's thread only
    uint64_t taken_ = 0;      // owner's thread only
    const int deflate_;
    const BeamSetup& beam_;
    std::vector<std::thread> threads_;
};

// x, y, sx, sy of the image's spot as the server measures it; -1 each when every pixel
// has the same value (nothing to measure).
void MeasureSpot(const uint8_t* gray, uint32_t width, uint32_t height, double spot[4]);
