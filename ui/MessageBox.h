#pragma once

#include <QString>
#include <functional>

class QWidget;

// Every message box of the dialogs goes through here, so that a test (or a headless run
// that has nobody to click) can answer it instead of a blocking QMessageBox.
enum class MessageIcon { kNone, kExclamation };
using MessageBoxHook = std::function<void(QWidget* parent, const QString& text, MessageIcon icon)>;

// An empty hook restores the QMessageBox. Main thread.
void SetMessageBoxHook(MessageBoxHook hook);
void ShowMessageBox(QWidget* parent, const QString& text, MessageIcon icon);
