#include "app/ServerApp.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "app/QtMessageLoop.h"
#include "app/ServiceNotifier.h"
#include "app/SignalBridge.h"
#include "base/ProgramDir.h"
#include "core/CommandLine.h"
#include "core/EnvironmentPublisher.h"
#include "core/MainDlg.h"
#include "core/PidFile.h"
#include "ui/ConfigDialog.h"
#include "ui/MainWindow.h"

namespace {

// Without a display (a rack server, CI) the same program runs on Qt's offscreen platform.
void ChooseQtPlatform() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

CServerApp::CServerApp(int argc, char** argv)
    : argc_(argc),
      argv_(argv),
      programDir_(ProgramDirectory(argc > 0 ? argv[0] : nullptr)),
      pidPath_(JoinPath(programDir_, kPidFileName)),
      switch_(SwitchLetter(argc, argv)),
      log_(programDir_) {}

void CServerApp::Log(std::string_view text) {
    std::string line = log_.FormatLine(text);
    if (mainWnd_ != nullptr)
        mainWnd_->AppendMessage(line);
    log_.AppendToLogFile(line);
}

int CServerApp::Run() {
    LogMessage(this, "-+- Startup of program.");
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(switch_)));
    unsigned long pid = ReadPidFile(pidPath_);
    if (pid != 0 && pid != static_cast<unsigned long>(::getpid()) && IsServerProcess(pid)) {
        LogMessage(this, "This is not first instance. Do commandline processing, then quit.");
        if (letter == 'a')
            ::kill(static_cast<pid_t>(pid), SIGUSR1);
        else if (letter == 'q')
            ::kill(static_cast<pid_t>(pid), SIGTERM);
    } else {
        RunServer();
    }
    LogMessage(this, "-+- Graceful exit of program.");
    return 0;
}

void CServerApp::RunServer() {
    ChooseQtPlatform();
    QApplication qapp(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
    {
        // Declaration order is destruction order in reverse: the window goes before the
        // controller whose model it shows, the controller (and the threads it joins)
        // before the loop they post to.
        CQtMessageLoop loop;
        CSignalBridge signalBridge;
        CEnvironmentPublisher environment;
        CServiceNotifier service;
        CQtConfigDialog configDialog(this);
        CMainDlg dlg({this, &loop, &loop, &loop, &configDialog, &environment, &service},
                     programDir_, switch_);
        service.SetStatusText([&dlg] { return dlg.ServiceStatusText(); });
        CMainWindow window(dlg.Model(),
                           {[&dlg](int id) { dlg.OnCommand(id); }, [&dlg] { dlg.OnCancel(); }});
        configDialog.SetOwner(&window);
        // Everything posted to the main thread is a task; no numbered message is handled.
        loop.SetHandlers([](const PostedMessage&) {}, [&dlg](int id) { dlg.OnTimer(id); });

        signalBridge.SetTarget(&dlg);
        mainWnd_ = &dlg;
        // Headless, nobody can see the window: showing it would only repaint the status
        // fields into memory.
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            window.show();
        dlg.OnInitDialog();
        if (!dlg.IsShutDown())
            loop.Run();
        loop.Close();
        signalBridge.SetTarget(nullptr);
        window.hide();
        mainWnd_ = nullptr;
    }
    if (std::remove(pidPath_.c_str()) != 0)
        LogMessage(this, "Temporary file (pid) could not be removed at exit.");
}
