#include "capture/VideoMode.h"

#include <linux/videodev2.h>

#include <cstdio>
#include <cstdlib>

#include "base/LogSink.h"
#include "capture/MediaType.h"
#include "capture/SamplerFilter.h"

namespace {

// How a format is described in a mode entry: bit count and FourCC (0 for RGB).
void DescribeFormat(uint32_t pixelFormat, uint16_t* bitCount, uint32_t* compression) {
    switch (pixelFormat) {
        case V4L2_PIX_FMT_BGR24:
            *bitCount = 24;
            *compression = 0;
            break;
        case V4L2_PIX_FMT_BGR32:
        case V4L2_PIX_FMT_XBGR32:
        case V4L2_PIX_FMT_ABGR32:
            *bitCount = 32;
            *compression = 0;
            break;
        case V4L2_PIX_FMT_UYVY:
            *bitCount = 16;
            *compression = MakeFourCC('U', 'Y', 'V', 'Y');
            break;
        case V4L2_PIX_FMT_YUYV:
            *bitCount = 16;
            *compression = MakeFourCC('Y', 'U', 'Y', '2');
            break;
        case V4L2_PIX_FMT_GREY:
            *bitCount = 8;
            *compression = MakeFourCC('G', 'R', 'E', 'Y');
            break;
        default:
            *bitCount = 0;
            *compression = pixelFormat;
            break;
    }
}

uint32_t SaturateU32(double v) {
    if (!(v > 0))
        return 0;
    return v >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(v);
}

}  // namespace

std::optional<VideoModeEntry> ModeEntryFromCapability(const VideoCapability& cap, uint32_t index) {
    if (ConversionForSubtype(cap.pixelFormat) < 0)
        return std::nullopt;
    // Sizes the frame record cannot hold are not offered.
    if (cap.width == 0 || cap.height == 0 || cap.width > kMaxFrameSide ||
        cap.height > kMaxFrameSide)
        return std::nullopt;
    VideoModeEntry e;
    DescribeFormat(cap.pixelFormat, &e.bitCount, &e.compression);
    e.pixelFormat = cap.pixelFormat;
    e.width = static_cast<int32_t>(cap.width);
    e.height = -static_cast<int32_t>(cap.height);
    uint64_t bytes = uint64_t{cap.width} * cap.height * e.bitCount / 8;
    e.sampleSize = static_cast<uint32_t>(bytes);
    e.imageSize = e.sampleSize;
    if (cap.intervalNumerator != 0 && cap.intervalDenominator != 0)
        e.framesPerSecond = static_cast<double>(cap.intervalDenominator) / cap.intervalNumerator;
    e.source[2] = e.target[2] = e.width;
    e.source[3] = e.target[3] = static_cast<int32_t>(cap.height);
    e.bitRate = SaturateU32(static_cast<double>(bytes) * 8.0 * e.framesPerSecond);
    e.indexAtCapturePin = index;
    return e;
}

std::vector<VideoModeEntry> BuildModeTable(const std::vector<VideoCapability>& caps) {
    std::vector<VideoModeEntry> table;
    for (size_t i = 0; i < caps.size(); ++i) {
        if (auto entry = ModeEntryFromCapability(caps[i], static_cast<uint32_t>(i)))
            table.push_back(*entry);
    }
    return table;
}

int ChooseMode(int modeIndex, size_t modeCount) {
    return modeIndex >= 0 && static_cast<size_t>(modeIndex) < modeCount ? modeIndex : 0;
}

std::string CompressionText(uint32_t compression) {
    if (compression == 0)
        return "\"RGB\"";
    std::string text = "\"";
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((compression >> (8 * i)) & 0xFF);
        text += c == 0 ? '0' : c;
    }
    text += '"';
    return text;
}

std::string FormatModeInfo(int index, const VideoModeEntry& e) {
    return FormatLogText(
        "Choosed Video Mode (#%d):  lSampleSize = %lu, Frames per Second = %f, Source "
        "Rectangle=(%d,%d,%d,%d), Target Rectangle=(%d,%d,%d,%d), BitRate = %lu, biWidth = "
        "%d, biHeight = %d, biPlanes = %d, biBitCount = %d, biCompression = %s, biSizeImage = "
        "%lu, biXPelsPerMeter = %d, biYPelsPerMeter = %d, indexAtCapturePin = %lu",
        index, static_cast<unsigned long>(e.sampleSize), e.framesPerSecond, e.source[0],
        e.source[1], e.source[2], e.source[3], e.target[0], e.target[1], e.target[2], e.target[3],
        static_cast<unsigned long>(e.bitRate), e.width, e.height, e.planes, e.bitCount,
        CompressionText(e.compression).c_str(), static_cast<unsigned long>(e.imageSize),
        e.xPelsPerMeter, e.yPelsPerMeter, static_cast<unsigned long>(e.indexAtCapturePin));
}

std::string FormatModeListLine(int index, const VideoModeEntry& e) {
    // Rows are always top-down here, so the sign of the height says nothing to the user.
    return FormatLogText("(#%d) %d by %d pixels (%d Bit (%s)) <=%2.2f fps", index + 1, e.width,
                         std::abs(e.height), e.bitCount, CompressionText(e.compression).c_str(),
                         e.framesPerSecond);
}
