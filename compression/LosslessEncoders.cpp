#include "compression/LosslessEncoders.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "base/ThreadName.h"
#include "compression/Compression.h"
#include "frame/BitmapInfoHeader.h"
#include "frame/LosslessRecord.h"

namespace {

uint64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

struct CLosslessEncoders::Slot {
    std::thread thread;
    // The fields below belong to the worker from Submit until done, else to the owner.
    std::unique_ptr<CCompression> codec;  // null when it could not be opened
    std::vector<uint8_t> format;          // the codec's output format, length in front
    CPoolBlock record;                    // sized once per Open, reused for every frame
    Job job;
    Record result;
    bool busy = false;  // guarded by mutex_: holds a frame
    bool done = false;  // guarded by mutex_: its record is built
};

int CLosslessEncoders::WorkersFor(unsigned cores) {
    // One more than the cores would only queue on them; two keep a frame encoding while
    // the owner collects the one before, even on one core.
    return static_cast<int>(std::clamp(cores, 2u, 4u));
}

CLosslessEncoders::CLosslessEncoders(int workers) {
    for (int i = 0; i < std::max(workers, 1); ++i)
        slots_.push_back(std::make_unique<Slot>());
}

CLosslessEncoders::~CLosslessEncoders() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    work_.notify_all();
    for (auto& slot : slots_) {
        if (slot->thread.joinable())
            slot->thread.join();
    }
}

bool CLosslessEncoders::Open(uint32_t width, uint32_t height) {
    width_ = width;
    height_ = height;
    bool all = true;
    for (auto& slot : slots_) {
        slot->codec = std::make_unique<CCompression>();
        BITMAPINFOHEADER input{};
        input.biSize = kBitmapInfoHeaderSize;
        input.biWidth = static_cast<int32_t>(width);
        input.biHeight = static_cast<int32_t>(height);
        input.biPlanes = 1;
        input.biBitCount = 24;
        uint32_t formatLength = 0;
        uint32_t maxCompressed = 0;
        if (slot->codec->Init(kFourCCHfyu, &input)) {
            formatLength = slot->codec->GetOutputFormatLength().ValueOr(0);
            maxCompressed = slot->codec->GetMaxCompressedSize().ValueOr(0);
        }
        if (formatLength == 0 || maxCompressed == 0) {
            slot->codec.reset();
            formatLength = maxCompressed = 0;
        }
        slot->format.assign(formatLength, 0);
        if (formatLength >= sizeof formatLength)
            std::memcpy(slot->format.data(), &formatLength, sizeof formatLength);
        // Either form of the record: the compressed one is kept only when not longer.
        const uint64_t raw = uint64_t{width} * height;
        const uint64_t capacity =
            kFrameHeaderSize + std::max<uint64_t>(raw, uint64_t{formatLength} + maxCompressed);
        slot->record =
            capacity <= UINT32_MAX ? CPoolBlock::Alloc(uint32_t(capacity)) : CPoolBlock();
        all = all && slot->codec != nullptr && slot->record;
        if (!slot->thread.joinable())
            slot->thread = std::thread([this, s = slot.get()] { Run(s); });
    }
    return all;
}

void CLosslessEncoders::Submit(Job job) {
    Slot* slot = slots_[(oldest_ + static_cast<size_t>(inFlight_)) % slots_.size()].get();
    slot->job = std::move(job);
    slot->result = Record{};
    {
        std::lock_guard lock(mutex_);
        slot->busy = true;
        slot->done = false;
    }
    ++inFlight_;
    work_.notify_all();
}

const CLosslessEncoders::Record* CLosslessEncoders::Oldest(bool wait) {
    if (inFlight_ == 0)
        return nullptr;
    Slot* slot = slots_[oldest_].get();
    std::unique_lock lock(mutex_);
    if (wait)
        finished_.wait(lock, [slot] { return slot->done; });
    return slot->done ? &slot->result : nullptr;
}

bool CLosslessEncoders::WaitOldest(std::chrono::microseconds limit) {
    if (inFlight_ == 0)
        return false;
    Slot* slot = slots_[oldest_].get();
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, limit, [slot] { return slot->done; });
}

void CLosslessEncoders::PopOldest() {
    if (inFlight_ == 0)
        return;
    Slot* slot = slots_[oldest_].get();
    {
        std::unique_lock lock(mutex_);
        // Never free blocks a worker still reads.
        finished_.wait(lock, [slot] { return slot->done; });
        slot->busy = false;
    }
    slot->job = Job{};
    oldest_ = (oldest_ + 1) % slots_.size();
    --inFlight_;
}

void CLosslessEncoders::Run(Slot* slot) {
    NameThisThread("lx-lossless");
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this, slot] { return quit_ || (slot->busy && !slot->done); });
        if (quit_)
            return;
        lock.unlock();
        const uint64_t start = ThreadCpuNs();
        Encode(slot);
        cpuNs_.fetch_add(ThreadCpuNs() - start, std::memory_order_relaxed);
        lock.lock();
        slot->done = true;
        finished_.notify_all();
    }
}

void CLosslessEncoders::Encode(Slot* slot) {
    const Job& job = slot->job;
    uint8_t* record = slot->record.Data();
    const uint32_t capacity = slot->record.Size();
    // The codec was opened for one geometry; a frame of another size is sent raw rather
    // than mislabelled.
    const bool fits = job.compress && slot->codec != nullptr && job.header.width == width_ &&
                      job.header.height == height_;
    const uint32_t formatLength = static_cast<uint32_t>(slot->format.size());
    uint32_t length = 0;
    if (fits && slot->codec->Compress(job.pixels, record + kFrameHeaderSize + formatLength) &&
        slot->codec->GetOutputFormat(slot->format.data())) {
        BITMAPINFOHEADER format;
        std::memcpy(&format, slot->format.data(), sizeof format);
        length = PutLosslessRecord(record, capacity, job.header, slot->format.data(), format.biSize,
                                   record + kFrameHeaderSize + formatLength, format.biSizeImage,
                                   job.pixels);
    } else {
        length = PutRawRecord(record, capacity, job.header, job.pixels);
    }
    slot->result = Record{record, length};
}
