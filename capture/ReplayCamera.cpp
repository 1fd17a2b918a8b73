#include "capture/ReplayCamera.h"

#include <dirent.h>
#include <hdf5.h>
#include <png.h>
#include <strings.h>
#include <sys/stat.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "base/ThreadName.h"

namespace {

constexpr double kDefaultRate = 25;
constexpr double kMinRate = 0.1;
constexpr double kMaxRate = 1000;
// A folder of more images is not a recording anybody replays; it bounds the name list.
constexpr size_t kMaxImages = 1000000;
// One frame is read at a time, but HDF5 reads whole chunks: a chunk far larger than a
// frame would make one frame cost that much memory.
constexpr uint64_t kMaxChunkBytes = 256ull << 20;

bool ParseNumber(const std::string& text, double* value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value, std::chars_format::fixed);
    return ec == std::errc() && ptr == end && std::isfinite(*value);
}

bool SideFits(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= CReplayBackend::kMaxSide &&
           height <= CReplayBackend::kMaxSide;
}

std::string SizeText(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

// Where the frames come from. Read runs on the streaming thread only.
class IFrameSource {
  public:
    virtual ~IFrameSource() = default;
    // Frame `index` (< frames) into `gray` (width × height bytes). False with `error`.
    virtual bool Read(uint64_t index, uint8_t* gray, std::string* error) = 0;

    uint64_t frames = 0;
    uint32_t width = 0, height = 0;
    double rate = 0;  // the recording's own, 0 when it does not say
};

// ---- HDF5 ----

// An HDF5 identifier closed on destruction.
class CHid {
  public:
    CHid(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~CHid() {
        if (id_ >= 0)
            close_(id_);
    }
    CHid(const CHid&) = delete;
    CHid& operator=(const CHid&) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

  private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// The library would print its error stack to stderr; our one line says enough. The
// setting is per thread in the thread-safe build.
void SilenceHdf5() {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

class CHdf5Source : public IFrameSource {
  public:
    bool Open(const std::string& path, const std::string& datasetName, std::string* error) {
        SilenceHdf5();
        file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        if (file_ < 0) {
            *error = "not a readable HDF5 file";
            return false;
        }
        data_ = H5Dopen2(file_, datasetName.c_str(), H5P_DEFAULT);
        if (data_ < 0) {
            *error = "no dataset " + datasetName;
            return false;
        }
        CHid type(H5Dget_type(data_), H5Tclose);
        CHid space(H5Dget_space(data_), H5Sclose);
        hsize_t dims[3] = {0, 0, 0};
        if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_INTEGER ||
            H5Tget_size(type.get()) != 1 || H5Tget_sign(type.get()) != H5T_SGN_NONE ||
            H5Sget_simple_extent_ndims(space.get()) != 3 ||
            H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 3) {
            *error = "dataset " + datasetName + " is not 3-D unsigned 8-bit";
            return false;
        }
        if (!SideFits(dims[2], dims[1])) {
            *error = "frame size " + SizeText(dims[2], dims[1]) + " out of range";
            return false;
        }
        if (dims[0] == 0) {
            *error = "dataset " + datasetName + " holds no frames";
            return false;
        }
        CHid plist(H5Dget_create_plist(data_), H5Pclose);
        hsize_t chunk[3] = {0, 0, 0};
        if (plist.ok() && H5Pget_layout(plist.get()) == H5D_CHUNKED &&
            (H5Pget_chunk(plist.get(), 3, chunk) != 3 ||
             chunk[0] * chunk[1] * chunk[2] >
                 std::max<uint64_t>(kMaxChunkBytes, dims[1] * dims[2]))) {
            *error = "chunks of dataset " + datasetName + " too large to read a frame at a time";
            return false;
        }
        frames = dims[0];
        height = static_cast<uint32_t>(dims[1]);
        width = static_cast<uint32_t>(dims[2]);
        rate = RateFromTimestamps(datasetName);
        return true;
    }

    ~CHdf5Source() override {
        if (data_ >= 0)
            H5Dclose(data_);
        if (file_ >= 0)
            H5Fclose(file_);
    }

    bool Read(uint64_t index, uint8_t* gray, std::string* error) override {
        const hsize_t start[3] = {index, 0, 0}, count[3] = {1, height, width};
        CHid fileSpace(H5Dget_space(data_), H5Sclose);
        CHid memSpace(H5Screate_simple(3, count, nullptr), H5Sclose);
        if (fileSpace.ok() && memSpace.ok() &&
            H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >=
                0 &&
            H5Dread(data_, H5T_NATIVE_UCHAR, memSpace.get(), fileSpace.get(), H5P_DEFAULT, gray) >=
                0)
            return true;
        *error = "frame " + std::to_string(index) + " could not be read";
        return false;
    }

  private:
    // The recorder keeps each frame's time (seconds) in "timestamp" beside the frames; the
    // mean interval from the first to the last is the recording's rate.
    double RateFromTimestamps(const std::string& datasetName) const {
        const size_t slash = datasetName.rfind('/');
        const std::string name = datasetName.substr(0, slash + 1) + "timestamp";
        if (H5Lexists(file_, name.c_str(), H5P_DEFAULT) <= 0)  // fails for a missing group too
            return 0;
        CHid set(H5Dopen2(file_, name.c_str(), H5P_DEFAULT), H5Dclose);
        CHid space(set.ok() ? H5Dget_space(set.get()) : -1, H5Sclose);
        hsize_t n = 0;
        if (!space.ok() || H5Sget_simple_extent_ndims(space.get()) != 1 ||
            H5Sget_simple_extent_dims(space.get(), &n, nullptr) != 1 || n < 2 || n != frames)
            return 0;
        const hsize_t points[2] = {0, n - 1}, two = 2;
        double t[2] = {0, 0};
        CHid memSpace(H5Screate_simple(1, &two, nullptr), H5Sclose);
        if (!memSpace.ok() || H5Sselect_elements(space.get(), H5S_SELECT_SET, 2, points) < 0 ||
            H5Dread(set.get(), H5T_NATIVE_DOUBLE, memSpace.get(), space.get(), H5P_DEFAULT, t) < 0)
            return 0;
        const double r = static_cast<double>(n - 1) / (t[1] - t[0]);
        return std::isfinite(r) && r >= kMinRate && r <= kMaxRate ? r : 0;
    }

    hid_t file_ = -1;
    hid_t data_ = -1;
};

// ---- Image files ----

// A FILE* closed on destruction.
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Reads one header number of a PGM file: whitespace and comments before it, at most 9
// digits.
bool PgmNumber(FILE* f, uint32_t* value) {
    int c = std::fgetc(f);
    while (c == '#' || std::isspace(c)) {
        if (c == '#') {
            while (c != '\n' && c != EOF)
                c = std::fgetc(f);
        }
        c = std::fgetc(f);
    }
    uint32_t v = 0;
    int digits = 0;
    for (; c >= '0' && c <= '9'; c = std::fgetc(f)) {
        if (++digits > 9)
            return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    // Exactly one whitespace byte ends the header's last number; the pixels follow.
    if (digits == 0 || !std::isspace(c))
        return false;
    *value = v;
    return true;
}

// The header of a binary PGM; on success `f` stands at the first pixel.
bool ReadPgmHeader(FILE* f, uint32_t* width, uint32_t* height, std::string* error) {
    uint32_t maxval = 0;
    if (std::fgetc(f) != 'P' || std::fgetc(f) != '5' || !PgmNumber(f, width) ||
        !PgmNumber(f, height) || !PgmNumber(f, &maxval)) {
        *error = "not a binary PGM image";
        return false;
    }
    if (maxval == 0 || maxval > 255) {
        *error = "not an 8-bit PGM image";
        return false;
    }
    return true;
}

struct PngError {
    jmp_buf jump;
    char text[128];
};

void PngFail(png_structp png, png_const_charp message) {
    auto* e = static_cast<PngError*>(png_get_error_ptr(png));
    std::snprintf(e->text, sizeof e->text, "%s", message);
    std::longjmp(e->jump, 1);
}

void PngWarn(png_structp, png_const_charp) {}

// Reads an 8-bit gray PNG's size and, when `gray` is given, its pixels (`capacity`
// bytes). Only plain data lives here: the library leaves by longjmp.
bool ReadPngFile(FILE* f, uint32_t* width, uint32_t* height, uint8_t* gray, size_t capacity,
                 std::string* error) {
    PngError e{};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &e, PngFail, PngWarn);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        *error = "out of memory";
        return false;
    }
    const char* volatile fault = nullptr;
    if (setjmp(e.jump) != 0) {
        fault = e.text;
    } else {
        png_init_io(png, f);
        png_set_user_limits(png, CReplayBackend::kMaxSide, CReplayBackend::kMaxSide);
        png_read_info(png, info);
        *width = png_get_image_width(png, info);
        *height = png_get_image_height(png, info);
        if (png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY ||
            png_get_bit_depth(png, info) != 8) {
            fault = "not an 8-bit gray PNG image";
        } else if (gray != nullptr) {
            if (size_t{*width} * *height > capacity) {
                fault = "image larger than the first";
            } else {
                const int passes = png_set_interlace_handling(png);
                for (int pass = 0; pass < passes; ++pass) {
                    for (uint32_t y = 0; y < *height; ++y)
                        png_read_row(png, gray + size_t{y} * *width, nullptr);
                }
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (fault != nullptr) {
        *error = fault;
        return false;
    }
    return true;
}

bool EndsWith(const std::string& name, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return name.size() > n && strcasecmp(name.c_str() + name.size() - n, suffix) == 0;
}

class CImageFolderSource : public IFrameSource {
  public:
    bool Open(const std::string& folder, std::string* error) {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) {
            *error = std::string("cannot read the folder: ") + std::strerror(errno);
            return false;
        }
        bool anyPgm = false, anyPng = false, tooMany = false;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            const bool isPgm = EndsWith(name, ".pgm"), isPng = EndsWith(name, ".png");
            // Only regular files: opening a pipe or device named like an image could block.
            struct stat st {};
            if ((!isPgm && !isPng) || ::stat((folder + "/" + name).c_str(), &st) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            if (names_.size() == kMaxImages) {
                tooMany = true;
                break;
            }
            anyPgm |= isPgm;
            anyPng |= isPng;
            names_.push_back(name);
        }
        closedir(dir);
        if (tooMany) {
            *error = "more than " + std::to_string(kMaxImages) + " images";
            return false;
        }
        if (names_.empty()) {
            *error = "no PGM or PNG images in the folder";
            return false;
        }
        if (anyPgm && anyPng) {
            *error = "PGM and PNG images mixed";
            return false;
        }
        png_ = anyPng;
        std::sort(names_.begin(), names_.end());
        folder_ = folder;
        // Every image is checked now, so a bad one is refused at the start rather than
        // found in the middle of a replay.
        for (size_t i = 0; i < names_.size(); ++i) {
            uint32_t w = 0, h = 0;
            std::string why;
            UniqueFile f = OpenImage(i, &why);
            if (!f || !ReadHeader(f.get(), &w, &h, &why)) {
                *error = names_[i] + ": " + why;
                return false;
            }
            if (!SideFits(w, h)) {
                *error = names_[i] + ": size " + SizeText(w, h) + " out of range";
                return false;
            }
            if (i == 0) {
                width = w;
                height = h;
            } else if (w != width || h != height) {
                *error = names_[i] + " is " + SizeText(w, h) + ", " + names_[0] + " " +
                         SizeText(width, height);
                return false;
            }
        }
        frames = names_.size();
        return true;
    }

    bool Read(uint64_t index, uint8_t* gray, std::string* error) override {
        const size_t bytes = size_t{width} * height;
        uint32_t w = 0, h = 0;
        std::string why;
        UniqueFile f = OpenImage(index, &why);
        bool ok = f != nullptr;
        if (ok && png_) {
            ok = ReadPngFile(f.get(), &w, &h, gray, bytes, &why);
        } else if (ok) {
            ok = ReadPgmHeader(f.get(), &w, &h, &why);
            if (ok && size_t{w} * h <= bytes &&
                std::fread(gray, 1, size_t{w} * h, f.get()) != size_t{w} * h) {
                why = "image data cut short";
                ok = false;
            }
        }
        // The files may have changed since they were checked.
        if (ok && (w != width || h != height)) {
            why = "size changed to " + SizeText(w, h);
            ok = false;
        }
        if (!ok)
            *error = names_[index] + ": " + why;
        return ok;
    }

  private:
    UniqueFile OpenImage(uint64_t index, std::string* error) const {
        UniqueFile f(std::fopen((folder_ + "/" + names_[index]).c_str(), "rb"));
        if (!f)
            *error = std::strerror(errno);
        return f;
    }

    bool ReadHeader(FILE* f, uint32_t* w, uint32_t* h, std::string* error) const {
        return png_ ? ReadPngFile(f, w, h, nullptr, 0, error) : ReadPgmHeader(f, w, h, error);
    }

    std::string folder_;
    std::vector<std::string> names_;
    bool png_ = false;
};

// ---- The device ----

class CReplayDevice : public ICaptureDevice {
  public:
    CReplayDevice(std::unique_ptr<IFrameSource> source, double rate, bool loop)
        : source_(std::move(source)), loop_(loop) {
        // Rates to a thousandth of a frame/s, as the mode's frame interval.
        const uint32_t milli = static_cast<uint32_t>(std::lround(rate * 1000));
        const uint32_t divisor = std::gcd(milli, 1000u);
        mode_ = {V4L2_PIX_FMT_GREY, source_->width, source_->height, 1000 / divisor,
                 milli / divisor};
    }
    ~CReplayDevice() override { Stop(); }

    DeviceError GetCapabilities(std::vector<VideoCapability>* caps) override {
        *caps = {mode_};
        return DeviceError::kNone;
    }

    DeviceError SetFormat(const VideoCapability& cap, MediaType* negotiated) override {
        if (thread_.joinable() || cap.pixelFormat != mode_.pixelFormat ||
            cap.width != mode_.width || cap.height != mode_.height)
            return DeviceError::kSetFormat;
        MediaType type;
        type.subtype = V4L2_PIX_FMT_GREY;
        type.hasFormat = true;
        type.header.biWidth = static_cast<int32_t>(mode_.width);
        type.header.biHeight = -static_cast<int32_t>(mode_.height);
        *negotiated = type;
        return DeviceError::kNone;
    }

    DeviceError Connect() override { return DeviceError::kNone; }

    DeviceError Start(SampleCallback callback, FailureCallback onFailure) override {
        if (thread_.joinable())
            return DeviceError::kNone;
        {
            std::lock_guard lock(mutex_);
            stop_ = false;
        }
        failed_.store(false);
        thread_ = std::thread([this, cb = std::move(callback), fail = std::move(onFailure)] {
            StreamLoop(cb, fail);
        });
        return DeviceError::kNone;
    }

    DeviceError Stop() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return DeviceError::kNone;
    }

    bool StreamFailed() const override { return failed_.load(); }
    std::vector<DeviceControl> GetControls() override { return {}; }
    bool SetControl(uint32_t, int32_t) override { return false; }
    std::string LastErrorText() const override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }

  private:
    // Waits until `due` or Stop; true when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point due) {
        std::unique_lock lock(mutex_);
        return wake_.wait_until(lock, due, [this] { return stop_; });
    }

    void StreamLoop(const SampleCallback& callback, const FailureCallback& onFailure) {
        NameThisThread("lx-replay");
        SilenceHdf5();
        using Clock = std::chrono::steady_clock;
        const auto interval = std::chrono::nanoseconds(
            int64_t{1000000000} * mode_.intervalNumerator / mode_.intervalDenominator);
        std::vector<uint8_t> gray(size_t{mode_.width} * mode_.height);
        const Clock::time_point begin = Clock::now();
        uint64_t index = 0;
        for (uint64_t slot = 0;; ++slot) {
            // The frame is read before its time comes, so reading does not delay it.
            std::string error;
            if (!source_->Read(index, gray.data(), &error)) {
                {
                    std::lock_guard lock(mutex_);
                    lastError_ = FormatLogText("Replay camera: %s.", error.c_str());
                }
                failed_.store(true);
                if (onFailure)
                    onFailure();
                return;
            }
            // Every due time counts from the start, so waits never add up to a drift.
            const Clock::time_point due = begin + interval * slot;
            if (WaitUntil(due))
                return;
            // Running late (a loaded machine): the slots already missed are skipped rather
            // than caught up in a burst; every frame is still sent, in order.
            const auto late = Clock::now() - due;
            if (late > interval)
                slot += static_cast<uint64_t>(late / interval);
            MediaSample s;
            s.data = gray.data();
            s.length = gray.size();
            s.hasTime = true;
            s.startTime =
                std::chrono::duration_cast<std::chrono::nanoseconds>(interval * slot).count() / 100;
            callback(s);
            if (++index == source_->frames) {
                if (!loop_) {
                    // At the end the camera stays up and silent, as a hung one would.
                    WaitUntil(Clock::time_point::max());
                    return;
                }
                index = 0;
            }
        }
    }

    const std::unique_ptr<IFrameSource> source_;  // the streaming thread's while it runs
    const bool loop_;
    VideoCapability mode_;
    std::thread thread_;
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;  // guards stop_ and lastError_
    std::condition_variable wake_;
    bool stop_ = false;
    std::string lastError_;
};

}  // namespace

bool ParseReplayPath(const std::string& devicePath, ReplayRequest* request, std::string* error) {
    const std::string prefix = CReplayBackend::kPrefix;
    if (devicePath.rfind(prefix, 0) != 0) {
        *error = "not a replay path";
        return false;
    }
    *request = ReplayRequest{};
    const size_t query = devicePath.find('?', prefix.size());
    request->path = devicePath.substr(
        prefix.size(), query == std::string::npos ? std::string::npos : query - prefix.size());
    if (request->path.empty() || request->path[0] != '/') {
        *error = "the path must be absolute";
        return false;
    }
    if (query == std::string::npos)
        return true;

    bool seenRate = false, seenLoop = false, seenDataset = false;
    size_t pos = query + 1;
    while (true) {
        const size_t amp = devicePath.find('&', pos);
        const std::string item = devicePath.substr(pos, amp == std::string::npos ? amp : amp - pos);
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "parameter \"" + item + "\" has no value";
            return false;
        }
        const std::string key = item.substr(0, eq), text = item.substr(eq + 1);
        bool* seen = key == "rate"      ? &seenRate
                     : key == "loop"    ? &seenLoop
                     : key == "dataset" ? &seenDataset
                                        : nullptr;
        if (seen == nullptr) {
            *error = "unknown parameter \"" + key + "\"";
            return false;
        }
        if (*seen) {
            *error = "parameter \"" + key + "\" given twice";
            return false;
        }
        *seen = true;
        double v = 0;
        bool ok = true;
        if (key == "dataset") {
            ok = text.size() > 1 && text[0] == '/' && text.back() != '/';
            request->dataset = text;
        } else if (!ParseNumber(text, &v)) {
            *error = "parameter \"" + key + "\" is not a number: \"" + text + "\"";
            return false;
        } else if (key == "rate") {
            ok = v >= kMinRate && v <= kMaxRate;
            request->rate = v;
        } else {
            ok = v == 0 || v == 1;
            request->loop = v == 1;
        }
        if (!ok) {
            *error = "parameter \"" + key + "\" is out of range: \"" + text + "\"";
            return false;
        }
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }
    return true;
}

bool CReplayBackend::EnumerateDevices(std::vector<DeviceInfo>*) {
    return true;  // nothing to discover: replayed paths are opened as configured
}

bool CReplayBackend::DescribeUnlisted(const std::string& devicePath, DeviceInfo* info) const {
    if (devicePath.rfind(kPrefix, 0) != 0)
        return false;
    *info = DeviceInfo{devicePath,
                       "Replay " + devicePath.substr(std::strlen(kPrefix),
                                                     devicePath.find('?') - std::strlen(kPrefix))};
    return true;
}

std::unique_ptr<ICaptureDevice> CReplayBackend::Open(const std::string& devicePath,
                                                     DeviceError* code, std::string* error) {
    *code = DeviceError::kOpen;
    ReplayRequest request;
    std::string reason;
    std::unique_ptr<IFrameSource> source;
    struct stat st {};
    if (!ParseReplayPath(devicePath, &request, &reason)) {
    } else if (::stat(request.path.c_str(), &st) != 0) {
        reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        auto folder = std::make_unique<CImageFolderSource>();
        if (!request.dataset.empty())
            reason = "a dataset applies to HDF5 files only";
        else if (folder->Open(request.path, &reason))
            source = std::move(folder);
    } else if (!S_ISREG(st.st_mode)) {
        reason = "neither a file nor a folder";
    } else {
        auto file = std::make_unique<CHdf5Source>();
        if (file->Open(request.path, request.dataset.empty() ? kDefaultDataset : request.dataset,
                       &reason))
            source = std::move(file);
    }
    // A frame that cannot be read (a filter the library lacks, a file cut short) is
    // better refused now than found by the streaming thread.
    std::vector<uint8_t> first;
    if (source) {
        first.resize(size_t{source->width} * source->height);
        if (!source->Read(0, first.data(), &reason))
            source.reset();
    }
    if (!source) {
        *error = FormatLogText("Replay camera: \"%s\": %s.", devicePath.c_str(), reason.c_str());
        return nullptr;
    }
    const double rate = request.rate > 0   ? request.rate
                        : source->rate > 0 ? source->rate
                                           : kDefaultRate;
    *code = DeviceError::kNone;
    return std::make_unique<CReplayDevice>(std::move(source), rate, request.loop);
}
