#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/control/ZeftTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

// Runs a shell command line, collecting its standard output (standard error joined).
RunResult RunCommand(const std::string& command) {
    RunResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class ZeftToolTest : public ZeftServerTest {
  protected:
    void SetUp() override {
        ZeftServerTest::SetUp();
        srv_->AddProperty("C_WIDTH", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", 1, "");
        srv_->AddProperty("C_SCALE", 1, kZeftFormatDouble, "", 1, kZeftFormatDouble, "", 3, "");
        srv_->AddProperty("C_CAMNAME", 32, kZeftFormatChar, "", 1, kZeftFormatText, "", 3, "");
        srv_->AddProperty("S_SPOTDATA", 1, kZeftFormatByte, "", 1, kZeftFormatRecord, "", 3, "");
        srv_->AddProperty("S_StartTime", 32, kZeftFormatChar, "", 1, kZeftFormatText, "", 1, "");
        srv_->SetPropertyCallHandler(
            [this](const std::string&, const std::string& p, int32_t, int32_t, int16_t access) {
                if (p == "C_WIDTH") {
                    srv_->PutReplyData(768u);
                } else if (p == "C_SCALE") {
                    if (access & kZeftWrite)
                        srv_->GetRequestData(scale_);
                    if (access & kZeftRead)
                        srv_->PutReplyData(scale_);
                } else if (p == "C_CAMNAME") {
                    uint8_t buf[48] = {};
                    uint32_t n = 0;
                    srv_->GetRequestData(std::span<uint8_t>(buf), &n);
                    name_.assign(reinterpret_cast<char*>(buf), n);
                    srv_->PutReplyData(std::string_view(name_));
                } else if (p == "S_SPOTDATA") {
                    int32_t xm = -1000;
                    float f = -1.0f;
                    uint8_t rec[16];
                    std::memcpy(rec, &xm, 4);
                    for (int i = 1; i < 4; ++i)
                        std::memcpy(rec + 4 * i, &f, 4);
                    srv_->PutReplyArray(rec, 16);
                } else {
                    srv_->SetCallStatus(515, "Error!");
                }
            });
    }

    RunResult Zeft(const std::string& args) {
        return OnClient([&] { return RunCommand(std::string(ZEFT_BIN) + " " + args); });
    }

    double scale_ = 1.0;
    std::string name_;
};

TEST_F(ZeftToolTest, ReadsWritesAndMonitorsByFormat) {
    std::string a = Address();
    struct Case {
        std::string args;
        int exitCode;
        std::string out;
    };
    std::vector<Case> cases = {
        {"read " + a + " C_WIDTH", 0, "768\n"},
        {"write " + a + " C_SCALE 2.5", 0, ""},
        {"read " + a + " C_SCALE", 0, "2.5\n"},
        {"readwrite " + a + " C_CAMNAME Cam 1", 0, "Cam 1\n"},
        {"read " + a + " S_SPOTDATA", 0, "-1000 -1 -1 -1\n"},
        {"read " + a + " C_GAIN", 36, "zeft: status 36: Illegal property.\n"},
        {"read " + a + " S_StartTime", 125, "zeft: status 515: Error!\n"},
        {"write " + a + " C_WIDTH 1", 125, "zeft: status 1003: Access denied.\n"},
        {"monitor " + a + " C_WIDTH --interval 20 --count 3", 0, "768\n768\n768\n"},
        {"read /TAVO/NOWHERE/DEV C_WIDTH", 125, "zeft: status -1: Unknown name.\n"},
        {"read " + Named() + " C_WIDTH", 0, "768\n"},
    };
    for (const Case& c : cases) {
        RunResult r = Zeft(c.args + " --names " + namesDir_.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(scale_, 2.5);
    EXPECT_EQ(name_, "Cam 1");
}

// selvex-sim as a child process on a port of the system's choice.
class SelvexSim {
  public:
    explicit SelvexSim(const std::string& dir) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::execl(SELVEX_BIN, SELVEX_BIN, "--dir", dir.c_str(), "--base-port", "0", nullptr);
            ::_exit(127);
        }
        ::close(fds[1]);
        FILE* f = ::fdopen(fds[0], "r");
        char line[256] = {};
        if (f && std::fgets(line, sizeof line, f)) {
            const char* at = std::strstr(line, "port ");
            if (at)
                port_ = static_cast<uint16_t>(std::atoi(at + 5));
        }
        if (f)
            std::fclose(f);
    }
    ~SelvexSim() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
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
    ASSERT_NE(sim.port(), 0);
    std::string addr = "/TAVO/127.0.0.1:" + std::to_string(sim.port()) + "/MPServer";

    struct Case {
        std::string id;
        int16_t rc;
    };
    Case cases[] = {
        {"0x01000000", 0}, {"0x02000000", 1}, {"../secret", 2}, {"", 2}, {"0x0BIG", 3},
    };
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
