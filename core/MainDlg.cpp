#include "core/MainDlg.h"

#include <unistd.h>

#include "base/Messages.h"
#include "base/ProgramDir.h"
#include "core/PidFile.h"

namespace {
constexpr int kEnvironmentPeriodMs = 5000;
}

CMainDlg::CMainDlg(Hosts hosts, std::string programDir, char switchLetter)
    : hosts_(hosts), programDir_(std::move(programDir)), switch_(switchLetter) {
    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetText(IDC_CLOSE, "Close");
}

bool CMainDlg::OnInitDialog() {
    subsystemsUp_ = false;
    model_.SetTitle("Lumerix2 Directshow");
    if (!WritePidFile(JoinPath(programDir_, kPidFileName), static_cast<unsigned long>(::getpid())))
        LogMessage(hosts_.app, "Temporary file (pid) could not be created/accessed.");

    model_.SetText(IDC_MESSAGES, "Messages:\r\n");
    model_.SetEnabled(IDC_START_GRABBING, subsystemsUp_);
    model_.SetEnabled(IDC_STOP_GRABBING, false);
    // Nothing to configure until the configuration dialog is part of the window.
    model_.SetEnabled(IDC_CONFIG, false);

    hosts_.timers->SetTimer(IDT_ENVIRONMENT, kEnvironmentPeriodMs);
    environmentTimer_ = true;
    return true;
}

void CMainDlg::OnMessage(const PostedMessage& msg) {
    switch (msg.id) {
        case WM_SERVER_QUIT:
            ShutDownServer();
            break;
        case WM_GRAB_START:
            // Grabbing can only start once every subsystem came up.
            break;
        case WM_COMMAND:
            OnCommand(static_cast<int>(msg.wParam));
            break;
        default:
            break;
    }
}

void CMainDlg::OnCommand(int id) {
    if (id == IDC_CLOSE)
        ShutDownServer();
}

void CMainDlg::OnTimer(int /*id*/) {}

void CMainDlg::AppendMessage(const std::string& line) {
    std::string box = model_.Text(IDC_MESSAGES);
    AppendMessageBoxLine(box, line);
    model_.SetText(IDC_MESSAGES, box);
}

void CMainDlg::ShutDownServer() {
    // Several routes may ask at once (a signal and the close box); the sequence runs once.
    if (shutDown_)
        return;
    shutDown_ = true;
    if (environmentTimer_) {
        hosts_.timers->KillTimer(IDT_ENVIRONMENT);
        environmentTimer_ = false;
    }
    hosts_.dialog->EndDialog(IDOK);
}
