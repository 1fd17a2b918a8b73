#pragma once

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/SamplerFilter.h"
#include "capture/V4l2Io.h"
#include "frame/BufferPool.h"
#include "frame/FrameHeader.h"
#include "processing/PixelConversion.h"

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
    std::set<uint32_t> listedButUnsettable;  // enumerated, yet S_FMT substitutes the first
    uint32_t heightAlign = 1;                // heights are rounded up to this
    uint32_t strideAlign = 1;                // row lengths are rounded up to this
    std::set<uint32_t> damaged;              // sequences dequeued with V4L2_BUF_FLAG_ERROR
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

namespace scripted {

inline constexpr uint32_t kMaxBuffers = 8;
inline constexpr uint32_t kOffsetStep = 0x100000;

inline uint32_t RoundUp(uint32_t v, uint32_t align) {
    return align <= 1 ? v : (v + align - 1) / align * align;
}

inline const ScriptedFormat* FindFormat(const ScriptedNode& node, uint32_t fourcc) {
    auto it = std::find_if(node.formats.begin(), node.formats.end(),
                           [&](const ScriptedFormat& f) { return f.fourcc == fourcc; });
    return it == node.formats.end() ? nullptr : &*it;
}

// The size S_FMT makes of a request: a listed one as asked, else the first; in a range the
// request clamped and rounded down to the step.
inline std::pair<uint32_t, uint32_t> NearestSize(const ScriptedFormat& f, uint32_t w, uint32_t h) {
    if (f.sizeType == V4L2_FRMSIZE_TYPE_DISCRETE) {
        auto it = std::find(f.sizes.begin(), f.sizes.end(), std::pair{w, h});
        return it == f.sizes.end() ? f.sizes.front() : *it;
    }
    const uint32_t step = f.sizeType == V4L2_FRMSIZE_TYPE_STEPWISE ? 8 : 1;
    auto fit = [step](uint32_t v, uint32_t lo, uint32_t hi) {
        return lo + (std::clamp(v, lo, hi) - lo) / step * step;
    };
    return {fit(w, f.sizes[0].first, f.sizes[1].first),
            fit(h, f.sizes[0].second, f.sizes[1].second)};
}

}  // namespace scripted

class CScriptedV4l2 : public IV4l2Io {
  public:
    explicit CScriptedV4l2(std::vector<ScriptedNode> nodes) : nodes_(std::move(nodes)) {}

    // Unplugging ends the device of every open descriptor (ENODEV, POLLERR) and hides the
    // nodes; plugging in again offers fresh devices, as a USB camera does.
    void SetPlugged(bool plugged) {
        std::lock_guard lock(mutex_);
        plugged_ = plugged;
        if (!plugged) {
            for (const auto& fd : fds_)
                dead_.insert(fd.first);
            return;
        }
        streaming_ = formatSet_ = false;
        done_.clear();
        if (std::none_of(buffers_.begin(), buffers_.end(), [](auto& b) { return b.mapped > 0; }))
            buffers_.clear();
    }

    // Gone without a word to the open descriptors, as a network camera is: the stream only
    // goes quiet and the node is no longer listed. SetPlugged(true) brings it back.
    void Vanish() {
        std::lock_guard lock(mutex_);
        plugged_ = false;
        silent_ = true;
    }

    // A silent camera streams on but fills no buffer, as a hung one does.
    void SetSilent(bool silent) {
        std::lock_guard lock(mutex_);
        silent_ = silent;
    }

    int Open(const char* path, int) override {
        std::lock_guard lock(mutex_);
        if (!plugged_)
            return Fail(ENOENT);
        auto it = std::find_if(nodes_.begin(), nodes_.end(),
                               [&](const ScriptedNode& n) { return n.identity == path; });
        if (it == nodes_.end())
            return Fail(ENOENT);
        fds_[nextFd_] = &*it;
        return nextFd_++;
    }

    int Close(int fd) override {
        std::lock_guard lock(mutex_);
        dead_.erase(fd);
        return fds_.erase(fd) == 1 ? 0 : Fail(EBADF);
    }

    std::vector<std::string> ListDeviceNodes() override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> ids;
        if (!plugged_)
            return ids;
        for (const ScriptedNode& node : nodes_)
            ids.push_back(node.identity);
        return ids;
    }

    int Ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard lock(mutex_);
        auto it = fds_.find(fd);
        if (it == fds_.end())
            return Fail(EBADF);
        if (dead_.count(fd) != 0)
            return Fail(ENODEV);
        if (int error = Faulty(*it->second, request))
            return Fail(error);
        return IoctlLocked(*it->second, request, arg);
    }

    void* Mmap(size_t length, int, int, int fd, off_t offset) override {
        std::lock_guard lock(mutex_);
        size_t index = static_cast<size_t>(offset / scripted::kOffsetStep);
        if (fds_.count(fd) == 0 || dead_.count(fd) != 0 || offset % scripted::kOffsetStep != 0 ||
            index >= buffers_.size() || length != buffers_[index].memory.size()) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        ++buffers_[index].mapped;
        return buffers_[index].memory.data();
    }

    int Munmap(void* address, size_t) override {
        std::lock_guard lock(mutex_);
        for (Buffer& b : buffers_)
            if (b.memory.data() == address && b.mapped > 0)
                return --b.mapped, 0;
        return Fail(EINVAL);
    }

    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        {
            std::lock_guard lock(mutex_);
            if (count == 1 && dead_.count(fds[0].fd) != 0) {
                fds[0].revents = POLLERR | POLLHUP;
                return 1;
            }
            if (count == 1 && fds_.count(fds[0].fd) != 0 && streaming_) {
                bool failing = false;
                for (const ScriptedFault& f : fds_[fds[0].fd]->faults)
                    failing |= f.request == VIDIOC_DQBUF && calls_[VIDIOC_DQBUF] >= f.after;
                if (done_.empty() && !failing && !silent_) {
                    // The "hardware" fills the oldest queued buffer.
                    for (uint32_t i = 0; i < buffers_.size(); ++i) {
                        if (buffers_[i].state == BufState::kQueued) {
                            FillFrame(buffers_[i]);
                            buffers_[i].state = BufState::kDone;
                            done_.push_back(i);
                            break;
                        }
                    }
                }
                if (!done_.empty() || failing) {
                    fds[0].revents = static_cast<short>(POLLIN | (failing ? POLLERR : 0));
                    return 1;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 2)));
        return 0;
    }

    struct Stats {
        int fds, mappings, streamOns, dequeued, interruptions;
        bool streaming;
    };

    Stats Get() const {
        std::lock_guard lock(mutex_);
        Stats s{
            static_cast<int>(fds_.size()), 0, streamOns_, dequeued_, interruptions_, streaming_};
        for (const Buffer& b : buffers_)
            s.mappings += b.mapped;
        return s;
    }

  private:
    enum class BufState { kDequeued, kQueued, kDone };
    struct Buffer {
        std::vector<uint8_t> memory;
        BufState state = BufState::kDequeued;
        int mapped = 0;
        uint32_t sequence = 0;
    };

    int IoctlLocked(ScriptedNode& node, unsigned long request, void* arg) {
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(arg);
                *cap = {};
                // A full-length card name, unterminated, as the field allows.
                std::memcpy(cap->card, node.card.data(),
                            std::min(node.card.size(), sizeof cap->card));
                cap->capabilities = node.caps | V4L2_CAP_DEVICE_CAPS;
                cap->device_caps = node.caps;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* d = static_cast<v4l2_fmtdesc*>(arg);
                if (d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d->index >= node.formats.size())
                    return Fail(EINVAL);
                d->pixelformat = node.formats[d->index].fourcc;
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* s = static_cast<v4l2_frmsizeenum*>(arg);
                const ScriptedFormat* f = scripted::FindFormat(node, s->pixel_format);
                const bool range = f != nullptr && f->sizeType != V4L2_FRMSIZE_TYPE_DISCRETE;
                if (f == nullptr || s->index >= (range ? 1 : f->sizes.size()))
                    return Fail(EINVAL);
                s->type = f->sizeType;
                const auto [w, h] = f->sizes[s->index];
                const uint32_t step = f->sizeType == V4L2_FRMSIZE_TYPE_STEPWISE ? 8 : 1;
                if (range)
                    s->stepwise = {w, f->sizes[1].first, step, h, f->sizes[1].second, step};
                else
                    s->discrete = {w, h};
                return 0;
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto* v = static_cast<v4l2_frmivalenum*>(arg);
                const ScriptedFormat* f = scripted::FindFormat(node, v->pixel_format);
                const bool range = f != nullptr && f->intervalType != V4L2_FRMIVAL_TYPE_DISCRETE;
                // Intervals belong to a size: a size the format lacks has none.
                if (f == nullptr || v->index >= (range ? 1 : f->intervals.size()) ||
                    scripted::NearestSize(*f, v->width, v->height) !=
                        std::pair{v->width, v->height})
                    return Fail(EINVAL);
                v->type = f->intervalType;
                const auto [n, d] = f->intervals[v->index];
                if (!range)
                    v->discrete = {n, d};
                else
                    v->stepwise = {{n, d},
                                   {f->intervals[1].first, f->intervals[1].second},
                                   {1, f->intervalType == V4L2_FRMIVAL_TYPE_STEPWISE ? 1000u : 1u}};
                return 0;
            }
            case VIDIOC_S_FMT: {
                auto* fmt = static_cast<v4l2_format*>(arg);
                if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
                    return Fail(EINVAL);
                if (!buffers_.empty())
                    return Fail(EBUSY);
                v4l2_pix_format& pix = fmt->fmt.pix;
                const ScriptedFormat* f = scripted::FindFormat(node, pix.pixelformat);
                if (f == nullptr || node.listedButUnsettable.count(pix.pixelformat) != 0)
                    f = &node.formats.at(0);
                const auto nearest = scripted::NearestSize(*f, pix.width, pix.height);
                uint32_t bpp = SourceBytesPerPixel(ConversionForSubtype(f->fourcc));
                pix.pixelformat = f->fourcc;
                pix.width = nearest.first;
                pix.height = scripted::RoundUp(nearest.second, node.heightAlign);
                pix.bytesperline =
                    scripted::RoundUp(pix.width * (bpp == 0 ? 2 : bpp), node.strideAlign);
                pix.sizeimage = pix.bytesperline * pix.height;
                pix.field = V4L2_FIELD_NONE;
                format_ = pix;
                formatSet_ = true;
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* req = static_cast<v4l2_requestbuffers*>(arg);
                if (req->memory != V4L2_MEMORY_MMAP || streaming_)
                    return Fail(EBUSY);
                if (std::any_of(buffers_.begin(), buffers_.end(),
                                [](const Buffer& b) { return b.mapped > 0; }))
                    return Fail(EBUSY);
                buffers_.clear();
                done_.clear();
                if (req->count == 0)
                    return 0;
                if (!formatSet_)
                    return Fail(EINVAL);
                req->count = std::min(req->count, scripted::kMaxBuffers);
                buffers_.resize(req->count);
                for (Buffer& b : buffers_)
                    b.memory.assign(format_.sizeimage, 0);
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (buf->index >= buffers_.size())
                    return Fail(EINVAL);
                buf->length = static_cast<uint32_t>(buffers_[buf->index].memory.size());
                buf->m.offset = buf->index * scripted::kOffsetStep;
                return 0;
            }
            case VIDIOC_QBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (buf->index >= buffers_.size() ||
                    buffers_[buf->index].state != BufState::kDequeued)
                    return Fail(EINVAL);
                buffers_[buf->index].state = BufState::kQueued;
                return 0;
            }
            case VIDIOC_DQBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (!streaming_)
                    return Fail(EINVAL);
                if (done_.empty())
                    return Fail(EAGAIN);
                uint32_t index = done_.front();
                done_.pop_front();
                Buffer& b = buffers_[index];
                b.state = BufState::kDequeued;
                buf->index = index;
                buf->bytesused = static_cast<uint32_t>(b.memory.size());
                buf->sequence = b.sequence;
                buf->flags = node.damaged.count(b.sequence) != 0 ? V4L2_BUF_FLAG_ERROR : 0;
                // 25 Hz starting at 1 s, so that no time stamp is zero.
                int64_t us = 1000000 + int64_t{b.sequence} * 40000;
                buf->timestamp = {us / 1000000, us % 1000000};
                ++dequeued_;
                return 0;
            }
            case VIDIOC_STREAMON:
                if (buffers_.empty())
                    return Fail(EINVAL);
                streaming_ = true;
                ++streamOns_;
                return 0;
            case VIDIOC_STREAMOFF:
                streaming_ = false;
                done_.clear();
                for (Buffer& b : buffers_)
                    b.state = BufState::kDequeued;
                return 0;
            default:
                return Fail(ENOTTY);
        }
    }

    void FillFrame(Buffer& b) {
        const int conversion = ConversionForSubtype(format_.pixelformat);
        const uint32_t bpp = SourceBytesPerPixel(conversion);
        b.sequence = nextSequence_++;
        std::fill(b.memory.begin(), b.memory.end(), 0xEE);  // padding shows if it is read
        for (uint32_t y = 0; y < format_.height; ++y) {
            uint8_t* row = b.memory.data() + size_t{y} * format_.bytesperline;
            for (uint32_t x = 0; x < format_.width; ++x) {
                uint8_t g = ScriptedGray(b.sequence, x, y);
                uint8_t* p = row + size_t{x} * bpp;
                std::memset(p, g, bpp);
                if (conversion == kConversionYuy2 || conversion == kConversionUyvy)
                    p[conversion == kConversionYuy2] = 128;
            }
        }
    }

    int Faulty(const ScriptedNode& node, unsigned long request) {
        const int call = calls_[request]++, any = calls_[0]++;
        for (const ScriptedFault& f : node.faults) {
            const int n = f.request == 0 ? any : f.request == request ? call : -1;
            if (n < f.after || (f.alternate && (n - f.after) % 2 == 1))
                continue;
            interruptions_ += f.error == EINTR;
            return f.error;
        }
        return 0;
    }

    int Fail(int error) {
        errno = error;
        return -1;
    }

    mutable std::mutex mutex_;  // guards everything below
    std::vector<ScriptedNode> nodes_;
    std::map<int, ScriptedNode*> fds_;
    std::set<int> dead_;  // descriptors of an unplugged device
    bool plugged_ = true;
    bool silent_ = false;
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
