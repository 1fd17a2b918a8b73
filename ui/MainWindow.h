#pragma once

#include <QDialog>
#include <functional>
#include <map>

#include "core/DialogModel.h"

class QWidget;
class QPlainTextEdit;

// The Qt rendering of the main window's model. Each control's widget has its control id
// as object name. Buttons, Escape and the close box go to the controller through the
// callbacks; the window never closes itself. Main thread only.
class CMainWindow : public QDialog {
  public:
    struct Callbacks {
        std::function<void(int id)> command;  // a button with this control id
        std::function<void()> cancel;         // Escape or the close box
    };

    // Menu item of the About box.
    static constexpr int kAboutId = 16;

    CMainWindow(CDialogModel& model, Callbacks callbacks);

    QWidget* Control(int id) const;
    // Runs the About box modally.
    void ShowAbout();

  protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* Register(int id, QWidget* widget);
    void Render(int id);

    CDialogModel& model_;
    Callbacks callbacks_;
    std::map<int, QWidget*> controls_;
    QPlainTextEdit* messages_ = nullptr;
};
