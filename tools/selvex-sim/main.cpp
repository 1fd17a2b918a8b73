// selvex-sim: a stand-in for the video multiplexer. Registers a control-system server and
// answers "GetConfigforID" on device "MPServer" with the hardware description of the
// camera id it is given, read from a folder that holds one file per camera id
// ("<camera id>.cfg"). For tests and demonstrations.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "base/MessageQueue.h"
#include "base/Version.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"

namespace {

const char kUsage[] =
    "usage: selvex-sim --dir DIR [--name SELVEX] [--context TAVO] [--port-offset N]\n"
    "                  [--base-port P]\n"
    "       selvex-sim --help | --version\n"
    "Serves GetConfigforID on /CONTEXT/NAME/MPServer from DIR/<camera id>.cfg.\n"
    "--base-port 0 lets the system choose the port; the port is printed at start.\n";

// Sizes of the call as the frame server makes it.
constexpr int32_t kRequestChars = 92;
constexpr int32_t kReplyChars = 8192;

// Reply codes of GetConfigforID.
constexpr int16_t kUnknownCameraId = 1;
constexpr int16_t kIllegalCameraId = 2;
constexpr int16_t kDescriptionTooLarge = 3;

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

// A camera id names a file, so it may hold no path: letters, digits, '_', '-', '.', and it
// may not start with '.'.
bool CameraIdValid(const std::string& id) {
    if (id.empty() || id.size() >= static_cast<size_t>(kRequestChars) || id[0] == '.')
        return false;
    for (char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

void Answer(CSrv& srv, const std::string& dir) {
    uint8_t buf[kRequestChars] = {};
    uint32_t n = 0;
    srv.GetRequestData(std::span<uint8_t>(buf, sizeof buf), &n);
    std::string id(reinterpret_cast<const char*>(buf), strnlen(reinterpret_cast<char*>(buf), n));
    if (!CameraIdValid(id))
        return srv.SetCallStatus(kIllegalCameraId, "Illegal camera id.");
    std::ifstream in(dir + "/" + id + ".cfg", std::ios::binary);
    if (!in)
        return srv.SetCallStatus(kUnknownCameraId, "Unknown camera id.");
    std::string text(kReplyChars + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > static_cast<size_t>(kReplyChars))
        return srv.SetCallStatus(kDescriptionTooLarge, "Hardware description too large.");
    if (srv.PutReplyData(std::string_view(text)) != 0)
        return srv.SetCallStatus(kDescriptionTooLarge, "Hardware description too large.");
    srv.SetCallStatus(0, "");
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, name = "SELVEX", context = "TAVO";
    long offset = 0;
    long basePort = kZeftBasePort;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("selvex-sim %s\n", kLumerixVersion);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--dir")
            dir = v;
        else if (a == "--name")
            name = v;
        else if (a == "--context")
            context = v;
        else if (a == "--port-offset")
            offset = std::strtol(v, nullptr, 10);
        else if (a == "--base-port")
            basePort = std::strtol(v, nullptr, 10);
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (dir.empty() || basePort < 0 || basePort > 65535) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    ZeftSetBasePort(static_cast<uint16_t>(basePort));
    std::string description = "Video multiplexer stand-in";
    int16_t rc = RegisterFecInformation(name.c_str(), "TEST", context.c_str(), description.c_str(),
                                        context.c_str(), "none", "selvex-sim@localhost",
                                        static_cast<int16_t>(offset));
    if (rc != 0) {
        std::fprintf(stderr, "selvex-sim: registration failed: %d %s\n", rc, ZeftStatusText(rc));
        return 1;
    }

    CMessageQueue queue;
    CSrv srv(&queue);
    srv.SetEquipmentName(name);
    srv.SetEnabled(true);
    if (srv.EquipmentStatus() != 0) {
        std::fprintf(stderr, "selvex-sim: control not served: %d\n", srv.EquipmentStatus());
        return 1;
    }
    srv.RegisterDeviceName("MPServer", 0);
    srv.AddProperty("GetConfigforID", kRequestChars, kZeftFormatChar, "", kReplyChars,
                    kZeftFormatChar, "", kZeftReadWrite, "hardware description of a camera id");
    srv.SetPropertyCallHandler([&](const std::string&, const std::string&, int32_t, int32_t,
                                   int16_t) { Answer(srv, dir); });

    std::printf("selvex-sim: %s serving on port %u\n", name.c_str(), ZeftGetRegistration().port);
    std::fflush(stdout);
    while (!g_stop)
        queue.WaitAndPump({}, std::chrono::milliseconds(200));
    ZeftShutdown();
    return 0;
}
