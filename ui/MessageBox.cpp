#include "ui/MessageBox.h"

#include <QMessageBox>

namespace {

MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

void ShowMessageBox(QWidget* parent, const QString& text, MessageIcon icon) {
    if (Hook()) {
        Hook()(parent, text, icon);
        return;
    }
    QMessageBox box(
        icon == MessageIcon::kExclamation ? QMessageBox::Warning : QMessageBox::Information,
        "Lumerix2", text, QMessageBox::Ok, parent);
    box.exec();
}
