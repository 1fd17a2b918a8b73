// lumerix2-view HOST:PORT [--count N] [--save DIR] [--timeout S]
// Connects to a Lossless or Lossy channel and prints one line per message; with --save,
// writes raw frames as PGM and lossy frames as JPEG files.

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/HostPort.h"
#include "base/Version.h"
#include "net/FrameClient.h"
#include "tools/view/LosslessDecoder.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: lumerix2-view HOST:PORT [--count N] [--save DIR] [--timeout S]\n"
                 "       lumerix2-view --help | --version\n"
                 "  Reads the frame stream of a Lossless or Lossy channel and prints one line\n"
                 "  per message.\n"
                 "  --count N   stop after N messages\n"
                 "  --save DIR  write raw lossless frames as DIR/frame-NNNNNNNNNN.pgm and lossy\n"
                 "              frames as DIR/frame-NNNNNNNNNN.jpg\n"
                 "  --timeout S give up when no byte arrives for S seconds (default 5)\n");
}

bool WriteFile(const std::string& path, const std::string& prefix, const uint8_t* data,
               size_t length) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(prefix.data(), 1, prefix.size(), f) == prefix.size() &&
              std::fwrite(data, 1, length, f) == length;
    return std::fclose(f) == 0 && ok;
}

std::string FramePath(const std::string& dir, uint32_t frame, const char* ext) {
    char name[64];
    std::snprintf(name, sizeof name, "/frame-%010u.%s", frame, ext);
    return dir + name;
}

std::string PgmPrefix(uint32_t width, uint32_t height) {
    return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

void PrintLine(const MessageInfo& i) {
    if (i.kind == MessageKind::Lossless) {
        std::printf("frame %u HFYU %ux%u %s data %u format %u total %u rate %.2f fps scale %g\n",
                    i.frameNumber, i.width, i.height, i.compressed ? "compressed" : "raw",
                    i.dataLength, i.formatLength, i.totalLength, i.frameRate, i.scale);
    } else {
        std::printf("frame %u JFIF %ux%u jpeg data %u total %u scale %g camera \"%s\"\n",
                    i.frameNumber, i.width, i.height, i.dataLength, i.totalLength, i.scale,
                    i.cameraName.c_str());
    }
}

// Writes the message's file; false (with a line on stderr) when it cannot.
bool Save(const std::string& dir, const FrameMessage& m) {
    const MessageInfo& i = m.info;
    std::string path;
    bool ok;
    if (i.kind == MessageKind::Lossy) {
        path = FramePath(dir, i.frameNumber, "jpg");
        ok = WriteFile(path, "", m.Data(), i.dataLength);
    } else if (!i.compressed) {
        path = FramePath(dir, i.frameNumber, "pgm");
        ok = WriteFile(path, PgmPrefix(i.width, i.height), m.Data(), i.dataLength);
    } else {
        std::vector<uint8_t> gray;
        std::string error;
        if (DecodeLosslessFrame(m, gray, error)) {
            path = FramePath(dir, i.frameNumber, "pgm");
            ok = WriteFile(path, PgmPrefix(i.width, i.height), gray.data(), gray.size());
        } else {
            // Kept as received (format block, then codec data) for a closer look.
            path = FramePath(dir, i.frameNumber, "hfyu");
            ok = WriteFile(path, "", m.Format(), size_t{i.formatLength} + i.dataLength);
            if (ok)
                std::printf("  compressed frame not decoded (%s); saved as received: %s\n",
                            error.c_str(), path.c_str());
        }
    }
    if (!ok)
        std::fprintf(stderr, "lumerix2-view: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address, saveDir;
    uint64_t count = 0;  // 0: until the stream ends
    uint32_t timeoutS = 5;
    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("lumerix2-view %s\n", kLumerixVersion);
            return 0;
        } else if (arg == "--count" && a + 1 < argc) {
            const char* v = argv[++a];
            auto [end, ec] = std::from_chars(v, v + std::strlen(v), count);
            if (ec != std::errc() || *end != '\0' || count == 0) {
                std::fprintf(stderr, "lumerix2-view: --count needs a positive number\n");
                return 2;
            }
        } else if (arg == "--timeout" && a + 1 < argc) {
            const char* v = argv[++a];
            auto [end, ec] = std::from_chars(v, v + std::strlen(v), timeoutS);
            if (ec != std::errc() || *end != '\0' || timeoutS == 0 || timeoutS > 86400) {
                std::fprintf(stderr, "lumerix2-view: --timeout needs 1 to 86400 seconds\n");
                return 2;
            }
        } else if (arg == "--save" && a + 1 < argc) {
            saveDir = argv[++a];
        } else if (address.empty() && arg[0] != '-') {
            address = arg;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    std::string host;
    uint16_t port = 0;
    if (address.empty() || !ParseHostPort(address, host, port)) {
        Usage(stderr);
        return 2;
    }

    CFrameClient client;
    std::string error;
    if (!client.Connect(host, port, error)) {
        std::fprintf(stderr, "lumerix2-view: cannot connect to %s: %s\n", address.c_str(),
                     error.c_str());
        return 1;
    }
    // A stalled server must not hang the viewer (or a script that runs it) for ever.
    client.SetReceiveTimeout(static_cast<int>(timeoutS * 1000));
    FrameMessage m;
    for (uint64_t n = 0; count == 0 || n < count; ++n) {
        int rc = client.ReadMessage(m, error);
        if (rc == kReadEnd) {
            std::printf("server closed the connection after %" PRIu64 " messages\n", n);
            return count == 0 ? 0 : 1;
        }
        if (rc != kReadMessage) {
            std::fprintf(stderr, "lumerix2-view: %s\n", error.c_str());
            return 1;
        }
        PrintLine(m.info);
        if (!saveDir.empty() && !Save(saveDir, m))
            return 1;
        std::fflush(stdout);
    }
    return 0;
}
