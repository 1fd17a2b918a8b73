#pragma once

#include <string>
#include <string_view>

#include "base/LogSink.h"
#include "core/MessageLog.h"

class CMainDlg;

// The program: start-up line, single-instance test, forwarding a second start's request
// to the running server, running the main window, and the exit steps. It is also the
// log every subsystem writes to. Main thread only.
class CServerApp : public ILogSink {
  public:
    CServerApp(int argc, char** argv);

    // The whole life of the process; returns the exit code.
    int Run();

    void Log(std::string_view text) override;

  private:
    void RunServer();

    int argc_;
    char** argv_;
    std::string programDir_;
    std::string pidPath_;
    char switch_;
    CMessageLog log_;
    CMainDlg* mainWnd_ = nullptr;  // set while the main window runs
};
