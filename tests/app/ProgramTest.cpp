// Starts the real program in temporary program directories, each holding a symlink to
// the executable, and checks single instance, forwarding and shutdown end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "core/PidFile.h"
#include "tests/support/Program.h"

namespace {

using namespace std::chrono_literals;

const char* kStartup = "-+- Startup of program.";
const char* kNotFirst = "This is not first instance. Do commandline processing, then quit.";
const char* kExit = "-+- Graceful exit of program.";

// The log's start, hand-over and exit lines, in order; the bring-up lines in between are
// other tests' business.
std::vector<std::string> Lifecycle(const std::string& log) {
    std::vector<std::string> texts = LogTexts(log), kept;
    std::copy_if(texts.begin(), texts.end(), std::back_inserter(kept), [](const std::string& t) {
        return t == kStartup || t == kNotFirst || t == kExit;
    });
    return kept;
}

// The viewer reading three frames of the program's lossless channel.
std::string ViewCommand(const ProgramDir& dir) {
    return std::string(LUMERIX2_VIEW) + " 127.0.0.1:" + std::to_string(dir.GetPorts().lossless) +
           " --count 3 --timeout 20";
}

// What `command` prints, with its exit status.
std::string Output(const std::string& command, int* status) {
    FILE* out = ::popen(command.c_str(), "r");
    std::string text;
    for (char buf[256]; out != nullptr && std::fgets(buf, sizeof buf, out) != nullptr;)
        text += buf;
    *status = out != nullptr ? ::pclose(out) : -1;
    return text;
}

}  // namespace

TEST(Program, SecondStartWithoutSwitchOrWithStartOnlyLogsAndLeavesTheServerRunning) {
    ProgramDir dir(LUMERIX2_EXE);
    pid_t server = dir.StartServer();
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"/a"}, {"-q"}}) {
        std::string before = dir.Log();
        EXPECT_EQ(dir.Run(args), 0);
        EXPECT_EQ(Lifecycle(dir.Log().substr(before.size())),
                  (std::vector<std::string>{kStartup, kNotFirst, kExit}));
    }
    // A wrongly forwarded quit would end the server within moments.
    for (auto end = std::chrono::steady_clock::now() + 500ms;
         Alive(server) && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(Alive(server));
    kill(server, SIGTERM);  // SIGTERM runs the same shutdown sequence
    EXPECT_EQ(WaitExit(server), 0);
    EXPECT_FALSE(FileExists(dir.File(kPidFileName)));
    EXPECT_EQ(LogTexts(dir.Log()).back(), kExit);
}

TEST(Program, PidFileNamingAnotherProgramIsNeverSignalled) {
    ProgramDir dir(LUMERIX2_EXE);
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
    ProgramDir one(LUMERIX2_EXE), two(LUMERIX2_EXE);
    pid_t a = one.StartServer();
    pid_t b = two.StartServer();
    EXPECT_EQ(two.Run({"/Q"}), 0);
    EXPECT_EQ(WaitExit(b), 0);
    EXPECT_FALSE(FileExists(two.File(kPidFileName)));
    EXPECT_EQ(Lifecycle(two.Log()),
              (std::vector<std::string>{kStartup, kStartup, kNotFirst, kExit, kExit}));
    EXPECT_TRUE(Alive(a));
    EXPECT_EQ(one.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(a), 0);
}

// The program serves its camera: /a starts it after the bring-up, SIGUSR1 (a second start
// with /a) starts it again after a stop, and /q closes the channels.
TEST(Program, ServesTheSyntheticCameraOnItsChannels) {
    ProgramDir dir(LUMERIX2_EXE);
    WriteFileText(dir.File("curhardware.cfg"),
                  "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=7\n");
    pid_t server = dir.StartServer({"/a"});
    ASSERT_TRUE(dir.WaitForLog("Grabbing started."));
    const std::string view = ViewCommand(dir);
    int status = -1;
    const std::string text = Output(view, &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find(" 160x120 "), std::string::npos) << text;

    kill(server, SIGUSR1);  // already grabbing: ignored
    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(server), 0);
    const auto texts = LogTexts(dir.Log());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Grabbing started."), 1);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Shutting down grabbing."), texts.end());
    EXPECT_EQ(::system((view + " >/dev/null 2>&1").c_str()) != 0, true);  // channel closed
}

// A GenICam camera (the camera library's in-process fake, turned on in the configuration)
// served by the real program to the real viewer.
TEST(Program, ServesAGenicamCamera) {
    ProgramDir dir(LUMERIX2_EXE, "[GenICam]\nFakeCamera=1\nUSB3Vision=0\n");
    WriteFileText(dir.File("curhardware.cfg"),
                  "[GlobalSettings]\nType=DirectShow\nDevicePath=aravis:Fake_1?width=320&height="
                  "200&rate=50\nDeviceVideoMode=0\n");
    pid_t server = dir.StartServer({"/a"});
    ASSERT_TRUE(dir.WaitForLog("Grabbing started."));
    int status = -1;
    const std::string text = Output(ViewCommand(dir), &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find(" 320x200 "), std::string::npos) << text;
    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(server), 0);
}

// The first start after an upgrade saves the configuration to add its new sections; the
// operator's notes come back as they were written.
TEST(Program, OperatorNotesInTheConfigurationSurviveAStart) {
    ProgramDir dir(LUMERIX2_EXE);
    const std::string note = "; Camera 7 of the north hall -- do not change without asking\n";
    std::string text = ReadFileText(dir.File("Lumerix2.cfg"));
    const size_t port = text.find("LISTENPORTNUMBER=");
    text.insert(text.find('\n', port), "   ; changed 2026-03 for the firewall");
    ASSERT_TRUE(WriteFileText(dir.File("Lumerix2.cfg"), note + text));
    pid_t server = dir.StartServer();
    EXPECT_EQ(dir.Run({"/q"}), 0);
    EXPECT_EQ(WaitExit(server), 0);
    const std::string saved = ReadFileText(dir.File("Lumerix2.cfg"));
    EXPECT_EQ(saved.substr(0, note.size() + 10), note + "[DEFAULT]\n") << saved;
    EXPECT_NE(saved.find("   ; changed 2026-03 for the firewall\n"), std::string::npos);
    EXPECT_NE(saved.find("[Access]"), std::string::npos) << "no section was added";
}
