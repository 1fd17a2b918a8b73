#include "tests/support/Program.h"

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <thread>

#include "base/UniqueFd.h"
#include "core/PidFile.h"

extern char** environ;

namespace {

bool Bindable(uint16_t port, uint16_t* chosen = nullptr) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return false;
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    if (chosen != nullptr)
        *chosen = ntohs(a.sin_port);
    return true;
}

}  // namespace

pid_t Spawn(const std::string& path, std::vector<std::string> args) {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    using namespace std::chrono_literals;
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
        if (pred())
            return true;
    }
    return pred();
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (pid <= 0)
        return -1;
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

uint16_t FreePort() {
    uint16_t port = 0;
    Bindable(0, &port);
    return port;
}

std::string ProgramDir::Config(const Ports& ports, const std::string& extra) {
    std::ostringstream c;
    c << "[DEFAULT]\nMAXCLIENTS=255\nLISTENPORTNUMBER=" << ports.lossless
      << "\nMAXCLIENTSLOSSY=255\nLISTENPORTNUMBERLOSSY=" << ports.lossy
      << "\nLOSSYENABLED=0\nJPEGQuality=60\nZEFTFRAMEEQPNAME=TESTCAMF\n"
      << "ZEFTCONTROLEQPNAME=TESTCAM\nZEFTPORTNUMBER=" << ports.zeftOffset << "\nZEFTCONTEXT=TEST\n"
      << extra << "\n[HTTP]\nEnabled=1\nPort=" << ports.web << "\nBindAddress=127.0.0.1\n";
    return c.str();
}

ProgramDir::Ports ProgramDir::FreePorts() {
    Ports ports;
    ports.lossless = FreePort();
    ports.lossy = FreePort();
    ports.web = FreePort();
    // The control system listens on a fixed base port plus the offset: take a free one.
    std::vector<int> offsets(31);
    for (int i = 0; i <= 30; ++i)
        offsets[size_t(i)] = i;
    std::shuffle(offsets.begin(), offsets.end(), std::random_device{});
    for (int k : offsets) {
        if (Bindable(static_cast<uint16_t>(32100 + k))) {
            ports.zeftOffset = k;
            break;
        }
    }
    return ports;
}

ProgramDir::ProgramDir(const std::string& exe, const char* config) : exe_(dir_.File("lumerix2")) {
    ::symlink(exe.c_str(), exe_.c_str());
    if (config == nullptr)
        return;
    ports_ = FreePorts();
    WriteFileText(File("Lumerix2.cfg"), Config(ports_, config));
}

pid_t ProgramDir::StartServer(std::vector<std::string> args) const {
    pid_t pid = Start(std::move(args));
    WaitFor([&] { return ReadPidFile(File(kPidFileName)) == unsigned(pid) || !Alive(pid); });
    return pid;
}

bool ProgramDir::WaitForLog(const std::string& text, std::chrono::milliseconds limit) const {
    return WaitFor(
        [&] {
            auto texts = LogTexts(Log());
            return std::find(texts.begin(), texts.end(), text) != texts.end();
        },
        limit);
}

std::vector<std::string> LogTexts(const std::string& log) {
    std::vector<std::string> texts;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        texts.push_back(line.substr(std::min<size_t>(line.size(), 21)));  // "dd.mm.yyyy hh:mm:ss: "
    return texts;
}
