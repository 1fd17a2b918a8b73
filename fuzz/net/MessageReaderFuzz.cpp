// Feeds arbitrary bytes to the client-side message reader, in pieces of varying size.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/FrameClient.h"

namespace {

class FuzzSource : public IByteSource {
  public:
    FuzzSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    ssize_t Read(void* buffer, size_t length) override {
        if (pos_ == size_)
            return 0;
        // The byte at the read position also picks the piece size (1 to 256).
        size_t piece = static_cast<size_t>(data_[pos_]) + 1;
        size_t n = std::min<size_t>({length, piece, size_ - pos_});
        std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSource source(data, size);
    FrameMessage m;
    std::string error;
    while (ReadMessage(source, m, error) == kReadMessage) {
        // Every accessor must stay inside the received bytes.
        if (m.bytes.size() != m.info.totalLength ||
            size_t{m.info.formatLength} + m.info.dataLength + kFrameHeaderSize != m.bytes.size())
            __builtin_trap();
        volatile uint8_t sink = 0;
        if (m.info.dataLength > 0)
            sink = m.Data()[m.info.dataLength - 1];
        (void)sink;
    }
    return 0;
}
