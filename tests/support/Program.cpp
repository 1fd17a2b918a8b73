#include "tests/support/Program.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <random>
#include <sstream>

#include "core/PidFile.h"

std::string ProgramDir::Config(const Ports& ports, const std::string& extra) {
    std::ostringstream c;
    c << "[DEFAULT]\nMAXCLIENTS=255\nLISTENPORTNUMBER=" << ports.lossless
      << "\nMAXCLIENTSLOSSY=255\nLISTENPORTNUMBERLOSSY=" << ports.lossy
      << "\nLOSSYENABLED=0\nJPEGQuality=60\nZEFTFRAMEEQPNAME=TESTCAMF\n"
      << "ZEFTCONTROLEQPNAME=TESTCAM\nZEFTPORTNUMBER=" << ports.zeftOffset << "\nZEFTCONTEXT=TEST\n"
      << extra << "\n[HTTP]\nEnabled=1\nPort=" << ports.web << "\nBindAddress=127.0.0.1\n";
    return c.str();
}

namespace {

// A free offset is not bound until the server starts: test processes running side by side
// claim one through a lock file, held while this process runs its newest few programs.
bool ClaimZeftOffset(int offset) {
    static std::mutex mutex;  // guards held
    static std::deque<int> held;
    const std::string path = "/tmp/lumerix2-zeft-offset-" + std::to_string(offset) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    std::lock_guard lock(mutex);
    held.push_back(fd);
    if (held.size() > 4) {
        ::close(held.front());
        held.pop_front();
    }
    return true;
}

}  // namespace

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
        if (PortFree(static_cast<uint16_t>(32100 + k)) && ClaimZeftOffset(k)) {
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
