#pragma once

// Starts the real program (or another command) in temporary program directories.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tools/support/Launch.h"

// A program directory holding a symlink to the executable, with a configuration whose
// ports are free ones (so suites can run side by side) and, when asked, a hardware
// description. The program is started through the symlink.
class ProgramDir {
  public:
    struct Ports {
        uint16_t lossless = 0;
        uint16_t lossy = 0;
        int zeftOffset = 0;  // ZEFTPORTNUMBER
        uint16_t web = 0;    // the web server's, on 127.0.0.1
    };

    // `config`: extra lines for the configuration file; null writes none at all (the
    // program then writes its defaults).
    explicit ProgramDir(const std::string& exe, const char* config = "");
    std::string File(const std::string& name) const { return dir_.File(name); }
    const std::string& Path() const { return dir_.path(); }
    std::string Log() const { return ReadFileText(File("Lumerix2.log")); }
    const Ports& GetPorts() const { return ports_; }
    // Ports free right now: the frame channels' and a control-system port offset.
    static Ports FreePorts();
    // A configuration on `ports` with `extra` lines appended (later keys win), then the
    // web server's section.
    static std::string Config(const Ports& ports, const std::string& extra);

    pid_t Start(std::vector<std::string> args = {}) const { return Spawn(exe_, std::move(args)); }
    // The exit status of a start that is to hand its request over and end.
    int Run(std::vector<std::string> args = {}) const { return WaitExit(Start(std::move(args))); }
    // Starts the program and waits until it has published its pid file.
    pid_t StartServer(std::vector<std::string> args = {}) const;
    // Waits until the log holds `text` (as a whole line's text); false after `limit`.
    bool WaitForLog(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) const;

  private:
    TempDir dir_;
    std::string exe_;
    Ports ports_;
};

// The texts of the log's lines, without their time stamps.
std::vector<std::string> LogTexts(const std::string& log);
