#pragma once

#include <functional>
#include <map>
#include <string>

// The main window's fields by control id: what the controller writes and the window
// shows. The Qt window renders it; tests read it. Main thread only.
class CDialogModel {
  public:
    struct Field {
        std::string text;
        bool enabled = true;
        bool checked = false;
    };

    void SetText(int id, const std::string& text);
    void SetEnabled(int id, bool enabled);
    void SetChecked(int id, bool checked);
    void SetTitle(const std::string& title);

    std::string Text(int id) const;
    bool IsEnabled(int id) const;
    bool IsChecked(int id) const;
    const std::string& Title() const { return title_; }
    const std::map<int, Field>& Fields() const { return fields_; }

    // Called after every change with the control id (0 for the title).
    void SetObserver(std::function<void(int id)> observer) { observer_ = std::move(observer); }

  private:
    Field& At(int id) { return fields_[id]; }
    void Changed(int id) {
        if (observer_)
            observer_(id);
    }

    std::map<int, Field> fields_;
    std::string title_;
    std::function<void(int)> observer_;
};

// Control ids of the main window.
constexpr int IDC_CLOSE = 1;
constexpr int IDC_CONFIG = 1000;
constexpr int IDC_START_GRABBING = 1001;
constexpr int IDC_STOP_GRABBING = 1002;
constexpr int IDC_MESSAGES = 1003;
constexpr int IDC_FRAMERATE = 1013;
constexpr int IDC_HEARTBEAT = 1021;
constexpr int IDC_LOSSLESS_CLIENTS = 1028;
constexpr int IDC_LOSSY_CLIENTS = 1029;
constexpr int IDC_LOSSY_CHECK = 1058;
constexpr int IDC_CURRENT_NAME = 1066;
constexpr int IDC_CURRENT_CAMID = 1067;
constexpr int IDC_CURRENT_ORIENTATION = 1068;
constexpr int IDC_CURRENT_SCALE = 1069;
constexpr int IDC_CURRENT_WIDTH = 1073;
constexpr int IDC_CURRENT_HEIGHT = 1074;
constexpr int IDC_CURRENT_BPP = 1075;
constexpr int IDC_PENDING_NAME = 1076;
constexpr int IDC_PENDING_CAMID = 1077;
constexpr int IDC_PENDING_ORIENTATION = 1078;
constexpr int IDC_PENDING_SCALE = 1079;
constexpr int IDC_ZEFT_CLIENTS = 1086;
constexpr int IDC_LOSSY_CLIENTS_TEXT = 1087;
constexpr int IDC_LOSSY_ENABLED_TEXT = 1088;

// Appends `line` to the message box text, keeping at most 100 lines: once the box holds
// more than 99 line ends, its oldest line goes first.
void AppendMessageBoxLine(std::string& box, const std::string& line);
