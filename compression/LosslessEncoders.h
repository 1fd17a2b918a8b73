#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/FrameHeader.h"
#include "frame/PoolBlock.h"

// Several frames' lossless records made at once, so that the HuffYUV encode of a large
// camera keeps up with its rate: a few workers, each with an encoder of its own (a codec
// context holds one frame at a time), handed frames in order and read back in the same
// order. Memory is bounded by the workers: at most one frame each is in flight.
// Owned by the frame pipeline. Open, Submit, Oldest and PopOldest belong to one thread
// (the main thread); the encodes run on the workers, started at the first Open.
class CLosslessEncoders {
  public:
    // One frame's work. `pixels` (width × height gray bytes of the header's size) lives in
    // the blocks of `hold`, which the frame keeps until PopOldest.
    struct Job {
        FrameHeader header;
        const uint8_t* pixels = nullptr;
        CPoolBlock hold[2];
        bool compress = true;  // false: the raw form (the encoders do not fit this frame)
    };

    // The workers a machine of `cores` cores gets: the encode is most of a frame's cost.
    static int WorkersFor(unsigned cores);

    explicit CLosslessEncoders(int workers);
    // Joins the workers; frames still in flight are dropped.
    ~CLosslessEncoders();
    CLosslessEncoders(const CLosslessEncoders&) = delete;
    CLosslessEncoders& operator=(const CLosslessEncoders&) = delete;

    // An encoder per worker for frames of width × height. Nothing may be in flight. False
    // when an encoder could not be opened: frames then go out raw.
    bool Open(uint32_t width, uint32_t height);
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

    int Capacity() const { return static_cast<int>(slots_.size()); }
    int InFlight() const { return inFlight_; }
    // Hands a frame to the next worker; InFlight() must be below Capacity() (take the
    // oldest first).
    void Submit(Job job);

    // The oldest frame's record once its worker has built it: the bytes and their length
    // (0 when the record did not fit). Null when nothing is in flight, or when `wait` is
    // false and the oldest is not done. Valid until PopOldest.
    struct Record {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
    };
    const Record* Oldest(bool wait);
    // Waits until the oldest frame is done or `limit` has passed; true when done.
    bool WaitOldest(std::chrono::microseconds limit);
    // Releases the oldest frame (its record and held blocks) for the next Submit.
    void PopOldest();

    // CPU time of the encodes, summed over the workers, in nanoseconds.
    uint64_t CpuNs() const { return cpuNs_.load(std::memory_order_relaxed); }

  private:
    struct Slot;
    void Run(Slot* slot);
    void Encode(Slot* slot);

    std::vector<std::unique_ptr<Slot>> slots_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    size_t oldest_ = 0;  // slot of the oldest frame in flight; main thread only
    int inFlight_ = 0;   // main thread only
    std::atomic<uint64_t> cpuNs_{0};

    std::mutex mutex_;                  // guards every slot's busy and done flags, and quit_
    std::condition_variable work_;      // a slot got a frame, or quit_
    std::condition_variable finished_;  // a slot finished its frame
    bool quit_ = false;
};
