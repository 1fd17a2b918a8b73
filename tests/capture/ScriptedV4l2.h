#pragma once

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/SamplerFilter.h"
#include "capture/V4l2Io.h"
#include "frame/BufferPool.h"
#include "frame/FrameHeader.h"

// A V4L2 driver in a box: answers the backend's system calls as a real driver would
// (non-blocking descriptors, format enumeration, size adjustment, mmap buffers, the
// queue/dequeue cycle) and can be told to misbehave. Thread-safe.
// With a range type the two list entries are the range's minimum and maximum; sizes of a
// stepwise range go in steps of 8 pixels, intervals in steps of 1/1000 s.
struct ScriptedFormat {
    uint32_t fourcc = 0;
    std::vector<std::pair<uint32_t, uint32_t>> sizes;      // width, height
    std::vector<std::pair<uint32_t, uint32_t>> intervals;  // numerator, denominator
    uint32_t sizeType = V4L2_FRMSIZE_TYPE_DISCRETE;
    uint32_t intervalType = V4L2_FRMIVAL_TYPE_DISCRETE;
};

// A misbehaviour: from its `after`-th call on, `request` (0: every ioctl) fails with
// `error`; with `alternate` only every other call does.
struct ScriptedFault {
    unsigned long request = 0;
    int error = EIO;
    int after = 0;
    bool alternate = false;
};

struct ScriptedNode {
    std::string identity;
    std::string card = "Scripted Camera";
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<ScriptedFormat> formats;
    std::vector<v4l2_queryctrl> controls;
    std::vector<uint32_t> listedButUnsettable;  // enumerated, yet S_FMT substitutes
    uint32_t heightAlign = 1;                   // heights are rounded up to this
    uint32_t strideAlign = 1;                   // row lengths are rounded up to this
    std::set<uint32_t> damaged;                 // sequences dequeued with V4L2_BUF_FLAG_ERROR
    std::vector<ScriptedFault> faults;
};

// The gray value the scripted camera shows at (x, y) in frame `sequence`.
inline uint8_t ScriptedGray(uint32_t sequence, uint32_t x, uint32_t y) {
    return static_cast<uint8_t>(x * 3 + y * 5 + sequence * 7);
}

// Frees every queued record, oldest first, after showing it to `each`.
inline std::vector<FrameHeader> Drain(
    CCaptureQueue& queue,
    const std::function<void(const FrameHeader&, const uint8_t*)>& each = {}) {
    std::vector<FrameHeader> headers;
    while (CPoolBlock record = queue.RemoveHead()) {
        headers.push_back(ReadHeader<FrameHeader>(record.Data()));
        if (each)
            each(headers.back(), record.Data() + kFrameHeaderSize);
    }
    return headers;
}

class CScriptedV4l2 : public IV4l2Io {
  public:
    explicit CScriptedV4l2(std::vector<ScriptedNode> nodes) : nodes_(std::move(nodes)) {}

    int Open(const char* path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    void* Mmap(size_t length, int prot, int flags, int fd, off_t offset) override;
    int Munmap(void* address, size_t length) override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    std::vector<std::string> ListDeviceNodes() override;

    struct Stats {
        int fds, mappings, streamOns, dequeued, interruptions;
        bool streaming;
    };
    Stats Get() const;

  private:
    enum class BufState { kDequeued, kQueued, kDone };
    struct Buffer {
        std::vector<uint8_t> memory;
        BufState state = BufState::kDequeued;
        int mapped = 0;
        uint32_t sequence = 0;
    };
    int IoctlLocked(ScriptedNode& node, unsigned long request, void* arg);
    void FillFrame(Buffer& buffer);
    int Faulty(const ScriptedNode& node, unsigned long request);
    int Fail(int error) {
        errno = error;
        return -1;
    }

    mutable std::mutex mutex_;  // guards everything below
    std::vector<ScriptedNode> nodes_;
    std::map<int, ScriptedNode*> fds_;
    int nextFd_ = 100;
    // The device state of the one node that streams (tests use one at a time).
    v4l2_pix_format format_{};
    bool formatSet_ = false;
    std::vector<Buffer> buffers_;
    std::deque<uint32_t> done_;
    bool streaming_ = false;
    int streamOns_ = 0;
    uint32_t nextSequence_ = 0;
    int dequeued_ = 0;
    int interruptions_ = 0;
    std::map<unsigned long, int> calls_;  // per request, for the faults
};
