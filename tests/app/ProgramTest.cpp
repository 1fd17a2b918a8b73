// Starts the real program in temporary program directories, each holding a symlink to
// the executable, and checks single instance, forwarding and shutdown end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/PidFile.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

class ProgramDir {
  public:
    ProgramDir() {
        exe_ = dir_.File("lumerix2");
        EXPECT_EQ(symlink(LUMERIX2_EXE, exe_.c_str()), 0);
    }
    std::string File(const char* name) const { return dir_.File(name); }
    std::string Log() const { return ReadFileText(File("Lumerix2.log")); }

    // Starts the program with argv[0] = the symlink.
    pid_t Start(std::vector<std::string> args = {}) const {
        std::vector<char*> argv{const_cast<char*>(exe_.c_str())};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0)
                continue;
            envStore.push_back(v);
        }
        std::vector<char*> envp;
        for (auto& v : envStore)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, exe_.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
        return pid;
    }

    // Starts the program and waits until it has published its pid file.
    pid_t StartServer(std::vector<std::string> args = {}) const {
        pid_t pid = Start(std::move(args));
        bool up = WaitFor([&] { return ReadPidFile(File(kPidFileName)) == unsigned(pid); });
        EXPECT_TRUE(up) << "server did not write its pid file";
        return pid;
    }

    template <typename Pred>
    static bool WaitFor(Pred pred, std::chrono::seconds limit = 60s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (pred())
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return pred();
    }

  private:
    TempDir dir_;
    std::string exe_;
};

// Exit status of `pid`, waiting up to a minute; -1 when it did not end.
int WaitExit(pid_t pid) {
    int status = 0;
    bool done = ProgramDir::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Alive(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

std::vector<std::string> LogTexts(const std::string& log) {
    std::vector<std::string> texts;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(": ", 17);  // after "dd.mm.yyyy hh:mm:ss"
        texts.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    return texts;
}

const char* kStartup = "-+- Startup of program.";
const char* kNotFirst = "This is not first instance. Do commandline processing, then quit.";
const char* kExit = "-+- Graceful exit of program.";

}  // namespace

TEST(Program, SecondStartWithQuitEndsTheRunningServerCleanly) {
    ProgramDir dir;
    pid_t server = dir.StartServer();
    pid_t second = dir.Start({"/Q"});
    EXPECT_EQ(WaitExit(second), 0);
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_FALSE(FileExists(dir.File(kPidFileName)));
    std::vector<std::string> texts = LogTexts(dir.Log());
    std::vector<std::string> expected{kStartup, kStartup, kNotFirst, kExit, kExit};
    EXPECT_EQ(texts, expected);
}

TEST(Program, SecondStartWithoutSwitchOrWithStartOnlyLogsAndLeavesTheServerRunning) {
    ProgramDir dir;
    pid_t server = dir.StartServer();
    for (const char* args : {"", "/a", "-q"}) {
        std::string before = dir.Log();
        pid_t second = *args ? dir.Start({args}) : dir.Start();
        EXPECT_EQ(WaitExit(second), 0) << args;
        std::vector<std::string> added = LogTexts(dir.Log().substr(before.size()));
        EXPECT_EQ(added, (std::vector<std::string>{kStartup, kNotFirst, kExit})) << args;
    }
    std::this_thread::sleep_for(200ms);  // a wrongly forwarded quit would land by now
    EXPECT_TRUE(Alive(server));
    kill(server, SIGTERM);  // SIGTERM runs the same shutdown sequence
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_FALSE(FileExists(dir.File(kPidFileName)));
    EXPECT_EQ(LogTexts(dir.Log()).back(), kExit);
}

TEST(Program, StalePidFileIsIgnoredAndOverwritten) {
    ProgramDir dir;
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    ASSERT_TRUE(WritePidFile(dir.File(kPidFileName), static_cast<unsigned long>(dead)));

    pid_t server = dir.StartServer({"/q"});  // a first instance with /q starts normally
    EXPECT_TRUE(Alive(server));
    kill(server, SIGINT);
    EXPECT_EQ(WaitExit(server), 0);
}

TEST(Program, PidFileNamingAnotherProgramIsNeverSignalled) {
    ProgramDir dir;
    pid_t sleeper = fork();
    if (sleeper == 0) {
        execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sleeper, 0);
    ASSERT_TRUE(
        ProgramDir::WaitFor([&] { return !IsServerProcess(static_cast<unsigned long>(sleeper)); }));
    ASSERT_TRUE(WritePidFile(dir.File(kPidFileName), static_cast<unsigned long>(sleeper)));

    // The original design would have posted the quit request to whatever the number named.
    pid_t server = dir.StartServer({"/q"});
    EXPECT_TRUE(Alive(sleeper));
    kill(server, SIGTERM);
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_TRUE(Alive(sleeper));
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST(Program, TwoDirectoriesRunTwoServersSideBySide) {
    ProgramDir one, two;
    pid_t a = one.StartServer();
    pid_t b = two.StartServer();
    EXPECT_TRUE(Alive(a));
    EXPECT_TRUE(Alive(b));
    EXPECT_EQ(WaitExit(two.Start({"/q"})), 0);
    EXPECT_EQ(WaitExit(b), 0);
    EXPECT_TRUE(Alive(a));
    EXPECT_EQ(WaitExit(one.Start({"/q"})), 0);
    EXPECT_EQ(WaitExit(a), 0);
}
