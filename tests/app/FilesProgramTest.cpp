// The files of the real program under crashes and log rotation, while ZEFT writes and web
// requests go on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/IniFile.h"
#include "core/PidFile.h"
#include "tests/support/Program.h"

namespace {

using namespace std::chrono_literals;

const char* kSyntheticCamera =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=7\n";

// A write through the zeft tool; its exit status, 0 when the call was taken.
int ZeftWrite(const ProgramDir& dir, const std::string& propertyAndValue) {
    const std::string command = std::string(LUMERIX2_ZEFT) + " write /TEST/127.0.0.1:" +
                                std::to_string(32100 + dir.GetPorts().zeftOffset) + "/LUMERIX " +
                                propertyAndValue + " >/dev/null 2>&1";
    return std::system(command.c_str());
}

// The status of a POST to `path`; -1 when the server did not answer.
int Post(const ProgramDir& dir, const char* path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(dir.GetPorts().web), {htonl(INADDR_LOOPBACK)}, {}};
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char head[13] = {};
    ssize_t n = -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string req =
            "POST " + std::string(path) +
            " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        n = ::recv(fd, head, 12, MSG_WAITALL);
    }
    ::close(fd);
    return n == 12 ? std::atoi(head + 9) : -1;
}

// What `command` prints.
std::string Output(const std::string& command) {
    FILE* out = ::popen(command.c_str(), "r");
    std::string text;
    for (char buf[4096]; out != nullptr && std::fgets(buf, sizeof buf, out) != nullptr;)
        text += buf;
    if (out != nullptr)
        ::pclose(out);
    return text;
}

// Why the configuration is not a whole version the server wrote; empty when it is.
std::string ConfigFault(const ProgramDir& dir) {
    const std::string text = ReadFileText(dir.File("Lumerix2.cfg"));
    if (text.empty() || text.back() != '\n')
        return "empty or cut: " + text;
    CIniFile ini(dir.Path());
    ini.Load("Lumerix2.cfg");
    if (ini.GetInt("DEFAULT", "LISTENPORTNUMBER", 0) != dir.GetPorts().lossless ||
        ini.GetInt("HTTP", "Port", 0) != dir.GetPorts().web)
        return "keys lost: " + text;
    // Every scale the server writes has six decimals; a cut number would have fewer.
    const std::string scale = ini.GetValue("CameraSettings", "Scale", "1.000000");
    if (!std::regex_match(scale, std::regex("[0-9]+\\.[0-9]{6}")))
        return "scale cut: " + text;
    return {};
}

}  // namespace

// SIGKILL at random moments of starts, saves, starts and stops: every file the server
// replaces is an old or a whole new version, and the server starts again each time.
TEST(FilesProgram, EveryFileIsWholeAfterAKillAtAnyMoment) {
    ProgramDir dir(LUMERIX2_EXE);
    ASSERT_TRUE(WriteFileText(dir.File("curhardware.cfg"), kSyntheticCamera));
    // Joined on every way out, a failed assertion's included.
    std::atomic<int> saves{0};
    std::jthread zeft([&](std::stop_token stop) {
        for (int k = 1; !stop.stop_requested(); ++k) {
            if (ZeftWrite(dir, "C_SCALE " + std::to_string(1 + k / 64.0)) == 0 &&
                ZeftWrite(dir, "S_UPDATE 1") == 0)
                ++saves;
            else
                std::this_thread::sleep_for(20ms);
        }
    });
    std::jthread web([&](std::stop_token stop) {
        for (int k = 0; !stop.stop_requested(); ++k) {
            if (Post(dir, k % 2 ? "/api/start" : "/api/stop") < 0)
                std::this_thread::sleep_for(20ms);
        }
    });
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        pid_t server = dir.Start({"/a"});
        ASSERT_TRUE(
            WaitFor([&] { return ReadPidFile(dir.File(kPidFileName)) == unsigned(server); }, 30s))
            << "did not start";
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
        ::kill(server, SIGKILL);
        EXPECT_EQ(WaitExit(server), 128 + SIGKILL);
        EXPECT_EQ(ConfigFault(dir), "");
        EXPECT_EQ(ReadFileText(dir.File("curhardware.cfg")), kSyntheticCamera);
        // Written at every start before the kill; a replaced one is never empty or cut.
        const std::string pid = ReadFileText(dir.File(kPidFileName));
        EXPECT_TRUE(pid == std::to_string(server)) << pid;
    }
    zeft.request_stop();
    web.request_stop();
    zeft.join();
    web.join();
    EXPECT_GT(saves, 20) << "the kills did not fall among saves";
    // Temporary files stay behind a kill, under their own names only.
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
        const std::string name = e.path().filename();
        EXPECT_TRUE(name == "lumerix2" || name.rfind("Lumerix2.", 0) == 0 ||
                    name.rfind("curhardware.cfg", 0) == 0)
            << name;
    }
    pid_t server = dir.StartServer();
    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_EQ(ConfigFault(dir), "");
}

// The shipped logrotate configuration, pointed at a running server's log, rotated while ZEFT
// writes add trail lines: every line is in exactly one of the files.
TEST(FilesProgram, LogRotationLosesAndDuplicatesNoLine) {
    ProgramDir dir(LUMERIX2_EXE);
    pid_t server = dir.StartServer();
    // The package's stanza with this test's log path, state file and user.
    std::string conf = ReadFileText(LUMERIX2_LOGROTATE);
    conf.replace(conf.find("/var/lib/lumerix2/*/Lumerix2.log"), 32, dir.File("Lumerix2.log"));
    conf = std::regex_replace(conf, std::regex("\n *su [^\n]*"), "");
    ASSERT_TRUE(WriteFileText(dir.File("rotate.conf"), conf));
    const std::string rotate =
        "logrotate -f -s " + dir.File("rotate.state") + " " + dir.File("rotate.conf") + " 2>&1";

    std::atomic<int> written{0};
    std::atomic<int> tried{0};
    std::jthread zeft([&](std::stop_token stop) {
        // Below the trail's 20 lines a second, so each write is a line of its own.
        for (int k = 1; !stop.stop_requested(); ++k, std::this_thread::sleep_for(60ms)) {
            ++tried;
            written += ZeftWrite(dir, "C_DYNAMICSCALE " + std::to_string(1 + k / 1024.0)) == 0;
        }
    });
    for (int i = 0, before = 0; i < 6; ++i, before = written) {
        EXPECT_TRUE(WaitFor([&] { return written >= before + 8; }, 30s));
        EXPECT_EQ(Output(rotate), "");
    }
    zeft.request_stop();
    zeft.join();
    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(server), 0);

    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
        const std::string name = e.path().filename();
        if (name.rfind("Lumerix2.log", 0) == 0)
            all += Output(
                (name.size() > 3 && name.substr(name.size() - 3) == ".gz" ? "zcat " : "cat ") +
                e.path().string());
    }
    EXPECT_TRUE(FileExists(dir.File("Lumerix2.log.2.gz"))) << "compressed with delay";
    std::map<std::string, int> seen;
    int accepted = 0;
    for (const std::string& text : LogTexts(all)) {
        if (text.find(": C_DYNAMICSCALE \"") != std::string::npos) {
            ++seen[text];
            accepted += text.find(", status 0") != std::string::npos;
        }
    }
    // A loaded machine may see a write refused (busy) or a reply come too late for the
    // client: each is still one line, so the counts bracket what the server logged.
    EXPECT_GE(written, 48);
    EXPECT_GE(accepted, written.load());
    EXPECT_LE(int(seen.size()), tried.load());
    for (auto& [line, count] : seen)
        EXPECT_EQ(count, 1) << line;
}
