// The real program as systemd runs it: notifications on a datagram socket of the test, and
// a run as an unprivileged account that may not write the machine environment file.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "core/PidFile.h"
#include "tests/support/Program.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kNetworkUp[] = "Successful initialized network subsystem.";
const char* kSyntheticCamera =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=7\n";

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { ::unsetenv(name_); }

  private:
    const char* name_;
};

// Whether `message` has a line beginning with `line` (a whole line when it ends in "\n").
bool Holds(const std::string& message, const std::string& line) {
    return ("\n" + message).find("\n" + line) != std::string::npos;
}

// The service manager's end: a datagram socket the program's notifications arrive on.
class NotifySocket {
  public:
    using Message = std::pair<Clock::time_point, std::string>;

    explicit NotifySocket(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ok_ = fd_ && ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool Ok() const { return ok_; }

    // The messages of the next `span` with their arrival times; up to the first that holds
    // `until`, when given.
    std::vector<Message> Collect(Clock::duration span, const std::string& until = "") {
        std::vector<Message> got;
        for (auto end = Clock::now() + span; Clock::now() < end;) {
            pollfd p{fd_.get(), POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            char buf[4096];
            ssize_t n = ::poll(&p, 1, int(left.count()) + 1) == 1
                            ? ::recv(fd_.get(), buf, sizeof buf, 0)
                            : -1;
            if (n < 0)
                continue;
            got.emplace_back(Clock::now(), std::string(buf, size_t(n)));
            if (!until.empty() && Holds(got.back().second, until))
                break;
        }
        return got;
    }
    bool WaitFor(const std::string& line, Clock::duration limit = 60s) {
        auto got = Collect(limit, line);
        return !got.empty() && Holds(got.back().second, line);
    }

  private:
    UniqueFd fd_;
    bool ok_ = false;
};

}  // namespace

// Ready once the channels serve, keep-alives from the main loop at half the watchdog time or
// more often, none while the process is held (SIGSTOP, as a hung process), stopping at /q.
TEST(Service, NotifiesReadyKeepAliveAndStoppingAndNoKeepAliveWhileHeld) {
    ProgramDir dir(LUMERIX2_EXE);
    WriteFileText(dir.File("curhardware.cfg"), kSyntheticCamera);
    NotifySocket manager(dir.File("notify"));
    ASSERT_TRUE(manager.Ok());
    constexpr auto kWatchdog = 2s;
    ScopedEnv socket("NOTIFY_SOCKET", dir.File("notify"));
    ScopedEnv watchdog("WATCHDOG_USEC",
                       std::to_string(std::chrono::microseconds(kWatchdog).count()));
    pid_t server = dir.Start({"/a"});

    ASSERT_TRUE(manager.WaitFor("READY=1\n"));
    auto texts = LogTexts(dir.Log());
    EXPECT_NE(std::find(texts.begin(), texts.end(), kNetworkUp), texts.end());
    ASSERT_TRUE(dir.WaitForLog("Grabbing started."));

    auto got = manager.Collect(2500ms);
    std::vector<Clock::time_point> pings;
    bool grabbingStatus = false;
    for (const auto& [when, message] : got) {
        if (Holds(message, "WATCHDOG=1\n"))
            pings.push_back(when);
        grabbingStatus = grabbingStatus || Holds(message, "STATUS=Grabbing at ");
    }
    ASSERT_GE(pings.size(), 3u);
    for (size_t i = 1; i < pings.size(); ++i)
        EXPECT_LE(pings[i] - pings[i - 1], kWatchdog / 2) << "gap after ping " << i;
    EXPECT_TRUE(grabbingStatus);

    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    manager.Collect(200ms);  // what was sent before the stop
    got = manager.Collect(kWatchdog + 200ms);
    EXPECT_TRUE(std::none_of(got.begin(), got.end(),
                             [](const auto& m) { return Holds(m.second, "WATCHDOG=1\n"); }));
    ASSERT_EQ(::kill(server, SIGCONT), 0);
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1\n", kWatchdog));

    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_TRUE(manager.WaitFor("STOPPING=1\n"));
    EXPECT_EQ(WaitExit(server), 0);
}

// The account of the service may write its program directory only: the server serves all
// the same and says nothing about the environment file it could not write.
TEST(Service, ServesAsAPlainUserWithoutTheRightToWriteTheEnvironment) {
    constexpr uid_t kNobody = 65534;
    ProgramDir dir(LUMERIX2_EXE);
    WriteFileText(dir.File("curhardware.cfg"), kSyntheticCamera);
    if (::geteuid() == 0) {
        for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
            ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(dir.Path().c_str(), kNobody, kNobody), 0);
    }
    const std::string exe = dir.File("lumerix2");
    pid_t server = ::fork();
    if (server == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            _exit(99);
        if (::access(exe.c_str(), X_OK) != 0 || ::access("/etc/environment", W_OK) == 0 ||
            ::access("/etc", W_OK) == 0)
            _exit(77);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::execl(exe.c_str(), exe.c_str(), "/a", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(server, 0);
    WaitFor(
        [&] { return ReadPidFile(dir.File(kPidFileName)) == unsigned(server) || !Alive(server); });
    if (!Alive(server)) {
        int status = WaitExit(server);
        if (status == 77)
            GTEST_SKIP() << "the build is out of reach of uid 65534, or it may write /etc";
        FAIL() << "exit status " << status;
    }
    ASSERT_TRUE(dir.WaitForLog("Grabbing started."));
    const std::string view = std::string(LUMERIX2_VIEW) +
                             " 127.0.0.1:" + std::to_string(dir.GetPorts().lossless) +
                             " --count 3 --timeout 20 >/dev/null 2>&1";
    EXPECT_EQ(::system(view.c_str()), 0);
    std::this_thread::sleep_for(5500ms);  // past the first environment timer
    ::kill(server, SIGTERM);
    EXPECT_EQ(WaitExit(server), 0);

    const auto texts = LogTexts(dir.Log());
    EXPECT_NE(std::find(texts.begin(), texts.end(), kNetworkUp), texts.end());
    for (std::string t : texts) {
        std::transform(t.begin(), t.end(), t.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        EXPECT_EQ(t.find("environment"), std::string::npos) << t;
    }
}
