#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "tests/zeft/ZeftTestSupport.h"

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

// Exit code and what the command wrote to stdout and stderr.
RunResult RunCommand(const std::string& command) {
    TempDir d;
    int status = std::system((command + " >" + d.File("out") + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileText(d.File("out"))};
}

using ZeftToolTest = ZeftServerTest;

TEST_F(ZeftToolTest, ReadsWritesAndMonitorsByFormat) {
    std::string a = Address();
    struct Case {
        std::string args;
        int exitCode;
        std::string out;
    };
    std::vector<Case> cases = {
        {"read " + a + " VALUE", 0, "5\n"},
        {"write " + a + " SCALE 2.5", 0, ""},
        {"read " + a + " SCALE", 0, "2.5\n"},
        {"readwrite " + a + " NAME Cam 1", 0, "Cam 1\n"},
        {"read " + a + " SPOT", 0, "-1000 -1 -1 -1\n"},
        {"read " + a + " C_GAIN", 36, "zeft: status 36: Illegal property.\n"},
        {"read " + a + " RO", 125, "zeft: status 515: Internal error!\n"},
        {"monitor " + a + " VALUE --interval 20 --count 3", 0, "5\n5\n5\n"},
        {"read /TAVO/NOWHERE/DEV VALUE", 125, "zeft: status -1: Unknown name.\n"},
        {"read " + Named() + " VALUE", 0, "5\n"},
    };
    for (const Case& c : cases) {
        RunResult r = OnClient([&] {
            return RunCommand(std::string(ZEFT_BIN) + " " + c.args + " --names " +
                              namesDir_.path());
        });
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(scale_, 2.5);
    EXPECT_EQ(name_, "Cam 1");
}

// selvex-sim on a port of the system's choice; the shell's pid becomes the sim's.
struct SelvexSim {
    explicit SelvexSim(const std::string& dir) {
        out =
            ::popen(("echo $$; exec " SELVEX_BIN " --dir " + dir + " --base-port 0").c_str(), "r");
        char line[256] = {};
        if (out && std::fscanf(out, "%d\n", &pid) == 1 && std::fgets(line, sizeof line, out))
            if (const char* at = std::strstr(line, "port "))
                port = static_cast<uint16_t>(std::atoi(at + 5));
    }
    ~SelvexSim() {
        if (pid > 0)
            ::kill(pid, SIGTERM);
        if (out)
            ::pclose(out);
    }
    FILE* out = nullptr;
    pid_t pid = -1;
    uint16_t port = 0;
};

TEST(SelvexSim, AnswersGetConfigforIdFromItsFolder) {
    TempDir top;
    std::string folder = top.File("hw");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    std::string hw =
        "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=3\n"
        "LimitFramerate=-1.0\n";
    ASSERT_TRUE(WriteFileText(folder + "/0x01000000.cfg", hw));
    ASSERT_TRUE(WriteFileText(folder + "/0x0BIG.cfg", std::string(9000, '#')));
    ASSERT_TRUE(WriteFileText(top.File("secret.cfg"), "no"));
    SelvexSim sim(folder);
    ASSERT_NE(sim.port, 0);
    std::string addr = "/TAVO/127.0.0.1:" + std::to_string(sim.port) + "/MPServer";

    struct Case {
        std::string id;
        int16_t rc;
    };
    Case cases[] = {{"0x01000000", 0}, {"0x02000000", 1}, {"../secret", 2}, {"", 2}, {"0x0BIG", 3}};
    for (const Case& c : cases) {
        // As the frame server asks: 8192 characters, zero-filled, one more zero behind.
        std::vector<char> reply(8193, 0);
        ZeftData r{reply.data(), kZeftFormatChar, 8192, 0};
        std::string id = c.id;
        ZeftData q{id.data(), kZeftFormatChar, 0, static_cast<uint32_t>(id.size())};
        EXPECT_EQ(ExecLinkEx(addr.c_str(), "GetConfigforID", &r, &q, 3, 1100), c.rc) << c.id;
        if (c.rc == 0) {
            EXPECT_EQ(r.count, hw.size());
            EXPECT_EQ(std::string(reply.data()), hw);
        }
    }
    RunResult r =
        RunCommand(std::string(ZEFT_BIN) + " readwrite " + addr + " GetConfigforID 0x01000000");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, hw + "\n");
}

}  // namespace
