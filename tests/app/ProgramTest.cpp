// Starts the real program in temporary program directories, each holding a symlink to
// the executable, and checks single instance, forwarding and shutdown end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Starts `path` (searched in PATH when it has no '/') with argv[0] = `path`. Without a display
// of the session the program runs as it does on a rack server.
pid_t Spawn(const std::string& path, std::vector<std::string> args = {}) {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawnp(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::seconds limit = 60s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
        if (pred())
            return true;
    }
    return pred();
}

// Exit status of `pid`, waiting up to a minute; -1 when it did not end.
int WaitExit(pid_t pid) {
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Alive(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

// A program directory holding a symlink to the executable; the program is started through it.
class ProgramDir {
  public:
    ProgramDir() : exe_(dir_.File("lumerix2")) {
        EXPECT_EQ(symlink(LUMERIX2_EXE, exe_.c_str()), 0);
    }
    std::string File(const char* name) const { return dir_.File(name); }
    std::string Log() const { return ReadFileText(File("Lumerix2.log")); }

    pid_t Start(std::vector<std::string> args = {}) const { return Spawn(exe_, std::move(args)); }
    // The exit status of a start that is to hand its request over and end.
    int Run(std::vector<std::string> args = {}) const { return WaitExit(Start(std::move(args))); }
    // Starts the program and waits until it has published its pid file.
    pid_t StartServer(std::vector<std::string> args = {}) const {
        pid_t pid = Start(std::move(args));
        EXPECT_TRUE(WaitFor([&] { return ReadPidFile(File(kPidFileName)) == unsigned(pid); }))
            << "server did not write its pid file";
        return pid;
    }

  private:
    TempDir dir_;
    std::string exe_;
};

std::vector<std::string> LogTexts(const std::string& log) {
    std::vector<std::string> texts;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        texts.push_back(line.substr(std::min<size_t>(line.size(), 21)));  // "dd.mm.yyyy hh:mm:ss: "
    }
    return texts;
}

const char* kStartup = "-+- Startup of program.";
const char* kNotFirst = "This is not first instance. Do commandline processing, then quit.";
const char* kExit = "-+- Graceful exit of program.";

}  // namespace

TEST(Program, SecondStartWithoutSwitchOrWithStartOnlyLogsAndLeavesTheServerRunning) {
    ProgramDir dir;
    pid_t server = dir.StartServer();
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"/a"}, {"-q"}}) {
        std::string before = dir.Log();
        EXPECT_EQ(dir.Run(args), 0);
        EXPECT_EQ(LogTexts(dir.Log().substr(before.size())),
                  (std::vector<std::string>{kStartup, kNotFirst, kExit}));
    }
    std::this_thread::sleep_for(200ms);  // a wrongly forwarded quit would land by now
    EXPECT_TRUE(Alive(server));
    kill(server, SIGTERM);  // SIGTERM runs the same shutdown sequence
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_FALSE(FileExists(dir.File(kPidFileName)));
    EXPECT_EQ(LogTexts(dir.Log()).back(), kExit);
}

TEST(Program, PidFileNamingAnotherProgramIsNeverSignalled) {
    ProgramDir dir;
    pid_t sleeper = Spawn("sleep", {"60"});
    ASSERT_TRUE(WritePidFile(dir.File(kPidFileName), static_cast<unsigned long>(sleeper)));

    // Pids are recycled: trusting the number alone would send this quit request to whatever
    // process now holds it. The server starts instead and the other program lives on.
    pid_t server = dir.StartServer({"/q"});
    EXPECT_TRUE(Alive(sleeper));
    kill(server, SIGINT);
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_TRUE(Alive(sleeper));
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST(Program, SecondStartWithQuitEndsTheServerOfItsOwnDirectoryOnly) {
    ProgramDir one, two;
    pid_t a = one.StartServer();
    pid_t b = two.StartServer();
    EXPECT_EQ(two.Run({"/Q"}), 0);
    EXPECT_EQ(WaitExit(b), 0);
    EXPECT_FALSE(FileExists(two.File(kPidFileName)));
    EXPECT_EQ(LogTexts(two.Log()),
              (std::vector<std::string>{kStartup, kStartup, kNotFirst, kExit, kExit}));
    EXPECT_TRUE(Alive(a));
    EXPECT_EQ(one.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(a), 0);
}
