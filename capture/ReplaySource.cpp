#include "capture/ReplaySource.h"

#include <dirent.h>
#include <hdf5.h>
#include <png.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/ReplayCamera.h"

namespace {

// A folder of more images is not a recording anybody replays; it bounds the name list.
constexpr size_t kMaxImages = 1000000;
// One frame is read at a time, but HDF5 reads whole chunks: a chunk far larger than a
// frame would make one frame cost that much memory.
constexpr uint64_t kMaxChunkBytes = 256ull << 20;

bool SideFits(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= CReplayBackend::kMaxSide &&
           height <= CReplayBackend::kMaxSide;
}

std::string SizeText(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

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

    CResult<> Read(uint64_t index, uint8_t* gray) override {
        const hsize_t start[3] = {index, 0, 0}, count[3] = {1, height, width};
        CHid fileSpace(H5Dget_space(data_), H5Sclose);
        CHid memSpace(H5Screate_simple(3, count, nullptr), H5Sclose);
        if (fileSpace.ok() && memSpace.ok() &&
            H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >=
                0 &&
            H5Dread(data_, H5T_NATIVE_UCHAR, memSpace.get(), fileSpace.get(), H5P_DEFAULT, gray) >=
                0)
            return Success();
        return CError{-1, "frame " + std::to_string(index) + " could not be read"};
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
        return std::isfinite(r) && r >= kMinReplayRate && r <= kMaxReplayRate ? r : 0;
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

    CResult<> Read(uint64_t index, uint8_t* gray) override {
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
            return CError{-1, names_[index] + ": " + why};
        return Success();
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

}  // namespace

void SilenceHdf5() {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

CResult<std::unique_ptr<IFrameSource>> OpenHdf5Source(const std::string& path,
                                                      const std::string& dataset) {
    auto source = std::make_unique<CHdf5Source>();
    std::string error;
    if (!source->Open(path, dataset, &error))
        return CError{-1, error};
    return std::unique_ptr<IFrameSource>(std::move(source));
}

CResult<std::unique_ptr<IFrameSource>> OpenImageFolderSource(const std::string& folder) {
    auto source = std::make_unique<CImageFolderSource>();
    std::string error;
    if (!source->Open(folder, &error))
        return CError{-1, error};
    return std::unique_ptr<IFrameSource>(std::move(source));
}
