#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "analysis/Beam.h"
#include "base/ReplaceFile.h"
#include "base/UniqueFd.h"

namespace {

// An untrusted file names its own size: this bounds the memory it may make us take.
constexpr uint32_t kMaxDarkSide = 16384;
constexpr size_t kMaxHeader = 256;

bool ReadAll(int fd, char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A PGM header field: whitespace and comments before it; one "# frames N" comment is kept.
bool NextNumber(const char* data, size_t size, size_t* at, uint64_t* value, uint32_t* frames) {
    size_t i = *at;
    for (;;) {
        while (i < size && std::isspace(static_cast<unsigned char>(data[i])))
            ++i;
        if (i < size && data[i] == '#') {
            const size_t start = i;
            while (i < size && data[i] != '\n')
                ++i;
            unsigned n = 0;
            if (std::sscanf(std::string(data + start, i - start).c_str(), "# frames %u", &n) == 1)
                *frames = n;
            continue;
        }
        break;
    }
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < size && std::isdigit(static_cast<unsigned char>(data[i])) && digits < 10; ++digits)
        v = v * 10 + static_cast<uint64_t>(data[i++] - '0');
    if (digits == 0 || digits == 10)
        return false;
    *at = i;
    *value = v;
    return true;
}

}  // namespace

bool CDarkAccumulator::Add(const uint8_t* pixels, uint32_t width, uint32_t height) {
    if (count_ == 0) {
        width_ = width;
        height_ = height;
        sum_.assign(size_t{width} * height, 0);
    } else if (width != width_ || height != height_) {
        return false;
    }
    for (size_t i = 0; i < sum_.size(); ++i)
        sum_[i] += pixels[i];
    ++count_;
    return true;
}

DarkFrame CDarkAccumulator::Result() const {
    DarkFrame dark;
    if (count_ == 0)
        return dark;
    dark.width = width_;
    dark.height = height_;
    dark.frames = count_;
    dark.mean.resize(sum_.size());
    const float scale = 1.0f / static_cast<float>(count_);
    for (size_t i = 0; i < sum_.size(); ++i)
        dark.mean[i] = static_cast<float>(sum_[i]) * scale;
    return dark;
}

std::string EncodeDarkFrame(const DarkFrame& dark) {
    if (dark.width == 0 || dark.height == 0 || dark.width > kMaxDarkSide ||
        dark.height > kMaxDarkSide || dark.mean.size() != size_t{dark.width} * dark.height)
        return {};
    std::string data = "P5\n# frames " + std::to_string(dark.frames) + "\n" +
                       std::to_string(dark.width) + " " + std::to_string(dark.height) + "\n65535\n";
    const size_t header = data.size();
    data.resize(header + 2 * dark.mean.size());
    for (size_t i = 0; i < dark.mean.size(); ++i) {
        const float v = std::clamp(std::round(dark.mean[i] * 256.0f), 0.0f, 65535.0f);
        const auto u = static_cast<uint16_t>(v);
        data[header + 2 * i] = static_cast<char>(u >> 8);
        data[header + 2 * i + 1] = static_cast<char>(u & 0xff);
    }
    return data;
}

bool SaveDarkFrame(const std::string& path, const DarkFrame& dark, std::string* error) {
    const std::string data = EncodeDarkFrame(dark);
    if (data.empty()) {
        *error = "dark frame has no valid size";
        return false;
    }
    if (!ReplaceFileAtomically(path, data)) {
        *error = "cannot write the dark frame file";
        return false;
    }
    return true;
}

namespace {

// The header of a dark frame PGM within its first `headSize` bytes: size, frames and where
// the samples start. The samples' length is the caller's to check.
bool ParseDarkHeader(const char* head, size_t headSize, size_t* at, DarkFrame* dark,
                     std::string* error) {
    uint64_t width = 0, height = 0, maxval = 0;
    uint32_t frames = 1;
    *at = 2;
    if (headSize < 2 || std::memcmp(head, "P5", 2) != 0 ||
        !NextNumber(head, headSize, at, &width, &frames) ||
        !NextNumber(head, headSize, at, &height, &frames) ||
        !NextNumber(head, headSize, at, &maxval, &frames) || *at >= headSize ||
        !std::isspace(static_cast<unsigned char>(head[*at])) || maxval != 65535) {
        *error = "dark frame file is not a 16-bit PGM";
        return false;
    }
    ++*at;  // the single whitespace before the samples
    if (width == 0 || height == 0 || width > kMaxDarkSide || height > kMaxDarkSide) {
        *error = "dark frame size out of bounds";
        return false;
    }
    dark->width = static_cast<uint32_t>(width);
    dark->height = static_cast<uint32_t>(height);
    dark->frames = std::max<uint32_t>(frames, 1);
    return true;
}

void DecodeSamples(const char* data, DarkFrame* dark) {
    dark->mean.resize(size_t{dark->width} * dark->height);
    for (size_t i = 0; i < dark->mean.size(); ++i) {
        const unsigned hi = static_cast<unsigned char>(data[2 * i]);
        const unsigned lo = static_cast<unsigned char>(data[2 * i + 1]);
        dark->mean[i] = static_cast<float>((hi << 8) | lo) / 256.0f;
    }
}

}  // namespace

bool ParseDarkFrame(const std::string& data, DarkFrame* dark, std::string* error) {
    size_t at = 0;
    if (!ParseDarkHeader(data.data(), std::min(data.size(), kMaxHeader), &at, dark, error))
        return false;
    if (data.size() != at + 2 * uint64_t{dark->width} * dark->height) {
        *error = "dark frame file has the wrong length";
        return false;
    }
    DecodeSamples(data.data() + at, dark);
    return true;
}

bool LoadDarkFrame(const std::string& path, DarkFrame* dark, std::string* error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot open the dark frame file";
        return false;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    char head[kMaxHeader];
    const size_t headSize = static_cast<size_t>(std::min<uint64_t>(fileSize, kMaxHeader));
    if (!ReadAll(fd.get(), head, headSize)) {
        *error = "cannot read the dark frame file";
        return false;
    }
    size_t at = 0;
    DarkFrame read;
    if (!ParseDarkHeader(head, headSize, &at, &read, error))
        return false;
    const uint64_t samples = uint64_t{read.width} * read.height;
    if (fileSize != at + 2 * samples) {
        *error = "dark frame file has the wrong length";
        return false;
    }
    std::vector<char> data(2 * samples);
    const size_t inHead = headSize - at;
    std::memcpy(data.data(), head + at, inHead);
    if (!ReadAll(fd.get(), data.data() + inHead, data.size() - inHead)) {
        *error = "cannot read the dark frame file";
        return false;
    }
    DecodeSamples(data.data(), &read);
    *dark = std::move(read);
    return true;
}
