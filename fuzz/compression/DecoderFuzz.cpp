// Lossless messages are untrusted network data for the viewer. Half of the inputs are
// taken as they come; the other half start from a valid compressed message of a small
// image and have bytes overwritten, so the fuzzer reaches deep into the codec.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "compression/Compression.h"
#include "compression/HuffyuvDecoder.h"
#include "frame/FrameHeader.h"
#include "frame/LosslessRecord.h"

namespace {

std::vector<uint8_t> ValidMessage(uint32_t width, uint32_t height, const uint8_t* seed,
                                  size_t seedLength) {
    BITMAPINFOHEADER in{};
    in.biSize = sizeof in;
    in.biWidth = static_cast<int32_t>(width);
    in.biHeight = static_cast<int32_t>(height);
    in.biPlanes = 1;
    in.biBitCount = 8;
    in.biSizeImage = width * height;
    CCompression codec;
    if (!codec.Init(kFourCCHfyu, &in))
        return {};
    const uint32_t maxSize = codec.GetMaxCompressedSize().ValueOr(0);
    const uint32_t formatLength = codec.GetOutputFormatLength().ValueOr(0);
    if (maxSize == 0 || formatLength == 0)
        return {};
    std::vector<uint8_t> pixels(width * height);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = seedLength ? seed[i % seedLength] : static_cast<uint8_t>(i);
    std::vector<uint8_t> format(formatLength), data(maxSize);
    std::memcpy(format.data(), &formatLength, 4);
    if (!codec.Compress(pixels.data(), data.data()) || !codec.GetOutputFormat(format.data()))
        return {};
    BITMAPINFOHEADER out;
    std::memcpy(&out, format.data(), sizeof out);
    FrameHeader h;
    h.width = width;
    h.height = height;
    return MakeCompressedRecord(h, format.data(), formatLength, data.data(), out.biSizeImage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CHuffyuvDecoder decoder;  // kept open across inputs, as in the viewer
    std::vector<uint8_t> gray;
    uint32_t width = 0, height = 0;
    if (size < 3 || (data[0] & 1) == 0) {
        (void)decoder.DecodeMessage(data, size, gray, width, height);
        return 0;
    }
    std::vector<uint8_t> message =
        ValidMessage(1 + data[1] % 40, 1 + data[2] % 30, data + 3, std::min<size_t>(size - 3, 16));
    if (message.empty())
        return 0;
    // The rest of the input is (offset, value) pairs to overwrite.
    for (size_t i = 3; i + 2 < size; i += 3) {
        size_t at = (static_cast<size_t>(data[i]) << 8 | data[i + 1]) % message.size();
        message[at] = data[i + 2];
    }
    (void)decoder.DecodeMessage(message.data(), message.size(), gray, width, height);
    return 0;
}
