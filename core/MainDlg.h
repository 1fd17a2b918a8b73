#pragma once

#include <string>

#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "base/MessageQueue.h"
#include "core/DialogModel.h"
#include "core/HostInterfaces.h"

// The server's main window controller: owns the subsystems, brings them up and down,
// handles posted messages, timers and buttons, and runs the one shutdown sequence.
// Created and used on the main thread only; other threads reach it by posting.
class CMainDlg {
  public:
    struct Hosts {
        ILogSink* app = nullptr;  // first argument of every LogMessage call
        IMessagePoster* poster = nullptr;
        ITimerHost* timers = nullptr;
        IDialogHost* dialog = nullptr;
    };

    CMainDlg(Hosts hosts, std::string programDir, char switchLetter);

    CDialogModel& Model() { return model_; }

    // Bring-up when the window opens.
    bool OnInitDialog();

    // Every posted message, on the main thread.
    void OnMessage(const PostedMessage& msg);
    // A button (control id) was pressed.
    void OnCommand(int id);
    void OnTimer(int id);
    // Escape and the window's close box.
    void OnCancel() { ShutDownServer(); }

    // Appends one finished log line to the message box.
    void AppendMessage(const std::string& line);

    void ShutDownServer();
    bool IsShutDown() const { return shutDown_; }

  private:
    Hosts hosts_;
    std::string programDir_;
    char switch_;
    CDialogModel model_;
    bool environmentTimer_ = false;
    bool subsystemsUp_ = false;
    bool shutDown_ = false;
};
