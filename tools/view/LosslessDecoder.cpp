#include "tools/view/LosslessDecoder.h"

#include "compression/HuffyuvDecoder.h"

bool DecodeLosslessFrame(const FrameMessage& message, std::vector<uint8_t>& gray,
                         std::string& error) {
    // One decoder for the viewer's life: it stays open while the format block is unchanged.
    static CHuffyuvDecoder decoder;
    uint32_t width = 0, height = 0;
    auto decoded =
        decoder.DecodeMessage(message.bytes.data(), message.bytes.size(), gray, width, height);
    if (!decoded)
        error = decoded.Message();
    return decoded.Ok();
}
