#include "ScriptedV4l2.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "capture/SamplerFilter.h"
#include "processing/PixelConversion.h"

namespace {

constexpr uint32_t kMaxBuffers = 8;
constexpr uint32_t kOffsetStep = 0x100000;

uint32_t RoundUp(uint32_t v, uint32_t align) {
    return align <= 1 ? v : (v + align - 1) / align * align;
}

const ScriptedFormat* FindFormat(const ScriptedNode& node, uint32_t fourcc) {
    auto it = std::find_if(node.formats.begin(), node.formats.end(),
                           [&](const ScriptedFormat& f) { return f.fourcc == fourcc; });
    return it == node.formats.end() ? nullptr : &*it;
}

// The size S_FMT makes of a request: a listed one as asked, else the first; in a range the
// request clamped and rounded down to the step.
std::pair<uint32_t, uint32_t> NearestSize(const ScriptedFormat& f, uint32_t w, uint32_t h) {
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

}  // namespace

int CScriptedV4l2::Open(const char* path, int) {
    std::lock_guard lock(mutex_);
    for (ScriptedNode& node : nodes_) {
        if (node.identity == path) {
            fds_[nextFd_] = &node;
            return nextFd_++;
        }
    }
    return Fail(ENOENT);
}

int CScriptedV4l2::Close(int fd) {
    std::lock_guard lock(mutex_);
    return fds_.erase(fd) == 1 ? 0 : Fail(EBADF);
}

std::vector<std::string> CScriptedV4l2::ListDeviceNodes() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const ScriptedNode& node : nodes_)
        ids.push_back(node.identity);
    return ids;
}

int CScriptedV4l2::Ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard lock(mutex_);
    auto it = fds_.find(fd);
    if (it == fds_.end())
        return Fail(EBADF);
    if (int error = Faulty(*it->second, request))
        return Fail(error);
    return IoctlLocked(*it->second, request, arg);
}

int CScriptedV4l2::Faulty(const ScriptedNode& node, unsigned long request) {
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

void CScriptedV4l2::FillFrame(Buffer& b) {
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

int CScriptedV4l2::IoctlLocked(ScriptedNode& node, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            *cap = {};
            // A full-length card name, unterminated, as the field allows.
            std::memcpy(cap->card, node.card.data(), std::min(node.card.size(), sizeof cap->card));
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
            const ScriptedFormat* f = FindFormat(node, s->pixel_format);
            const bool range = f != nullptr && f->sizeType != V4L2_FRMSIZE_TYPE_DISCRETE;
            if (f == nullptr || s->index >= (range ? 1 : f->sizes.size()))
                return Fail(EINVAL);
            s->type = f->sizeType;
            const auto [w, h] = f->sizes[s->index];
            if (!range) {
                s->discrete = {w, h};
                return 0;
            }
            const uint32_t step = f->sizeType == V4L2_FRMSIZE_TYPE_STEPWISE ? 8 : 1;
            s->stepwise = {w, f->sizes[1].first, step, h, f->sizes[1].second, step};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* v = static_cast<v4l2_frmivalenum*>(arg);
            const ScriptedFormat* f = FindFormat(node, v->pixel_format);
            const bool range = f != nullptr && f->intervalType != V4L2_FRMIVAL_TYPE_DISCRETE;
            // Intervals belong to a size: a size the format lacks has none.
            if (f == nullptr || v->index >= (range ? 1 : f->intervals.size()) ||
                NearestSize(*f, v->width, v->height) != std::pair{v->width, v->height})
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
        case VIDIOC_G_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            fmt->fmt.pix = format_;
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
                return Fail(EINVAL);
            if (!buffers_.empty())
                return Fail(EBUSY);
            v4l2_pix_format& pix = fmt->fmt.pix;
            const ScriptedFormat* f = FindFormat(node, pix.pixelformat);
            const auto& unsettable = node.listedButUnsettable;
            if (std::find(unsettable.begin(), unsettable.end(), pix.pixelformat) !=
                unsettable.end())
                f = nullptr;
            if (f == nullptr) {
                if (node.formats.empty())
                    return Fail(EINVAL);
                f = &node.formats[0];
            }
            const auto nearest = NearestSize(*f, pix.width, pix.height);
            uint32_t bpp = SourceBytesPerPixel(ConversionForSubtype(f->fourcc));
            pix.pixelformat = f->fourcc;
            pix.width = nearest.first;
            pix.height = RoundUp(nearest.second, node.heightAlign);
            pix.bytesperline = RoundUp(pix.width * (bpp == 0 ? 2 : bpp), node.strideAlign);
            pix.sizeimage = pix.bytesperline * pix.height;
            pix.field = V4L2_FIELD_NONE;
            format_ = pix;
            formatSet_ = true;
            return 0;
        }
        case VIDIOC_S_PARM:
            return 0;
        case VIDIOC_REQBUFS: {
            auto* req = static_cast<v4l2_requestbuffers*>(arg);
            if (req->memory != V4L2_MEMORY_MMAP || streaming_)
                return Fail(EBUSY);
            for (const Buffer& b : buffers_) {
                if (b.mapped > 0)
                    return Fail(EBUSY);
            }
            buffers_.clear();
            done_.clear();
            if (req->count == 0)
                return 0;
            if (!formatSet_)
                return Fail(EINVAL);
            req->count = std::min(req->count, kMaxBuffers);
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
            buf->m.offset = buf->index * kOffsetStep;
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buf = static_cast<v4l2_buffer*>(arg);
            if (buf->index >= buffers_.size() || buffers_[buf->index].state != BufState::kDequeued)
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
            buf->timestamp.tv_sec = us / 1000000;
            buf->timestamp.tv_usec = us % 1000000;
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
        case VIDIOC_QUERYCTRL: {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            uint32_t after = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
            for (const v4l2_queryctrl& c : node.controls) {
                if (c.id > after) {
                    *q = c;
                    return 0;
                }
            }
            return Fail(EINVAL);
        }
        case VIDIOC_G_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            for (const v4l2_queryctrl& q : node.controls) {
                if (q.id == c->id) {
                    c->value = q.default_value;
                    return 0;
                }
            }
            return Fail(EINVAL);
        }
        default:
            return Fail(ENOTTY);
    }
}

void* CScriptedV4l2::Mmap(size_t length, int, int, int fd, off_t offset) {
    std::lock_guard lock(mutex_);
    size_t index = static_cast<size_t>(offset / kOffsetStep);
    if (fds_.count(fd) == 0 || offset % kOffsetStep != 0 || index >= buffers_.size() ||
        length != buffers_[index].memory.size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    ++buffers_[index].mapped;
    return buffers_[index].memory.data();
}

int CScriptedV4l2::Munmap(void* address, size_t) {
    std::lock_guard lock(mutex_);
    for (Buffer& b : buffers_) {
        if (b.memory.data() == address && b.mapped > 0) {
            --b.mapped;
            return 0;
        }
    }
    return Fail(EINVAL);
}

int CScriptedV4l2::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    {
        std::lock_guard lock(mutex_);
        if (count == 1 && fds_.count(fds[0].fd) != 0 && streaming_) {
            bool failing = false;
            for (const ScriptedFault& f : fds_[fds[0].fd]->faults)
                failing |= f.request == VIDIOC_DQBUF && calls_[VIDIOC_DQBUF] >= f.after;
            if (done_.empty() && !failing) {
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

CScriptedV4l2::Stats CScriptedV4l2::Get() const {
    std::lock_guard lock(mutex_);
    Stats s{static_cast<int>(fds_.size()), 0, streamOns_, dequeued_, interruptions_, streaming_};
    for (const Buffer& b : buffers_)
        s.mappings += b.mapped;
    return s;
}
