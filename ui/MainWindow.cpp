#include "ui/MainWindow.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

CMainWindow::CMainWindow(CDialogModel& model, Callbacks callbacks)
    : model_(model), callbacks_(std::move(callbacks)) {
    auto* layout = new QHBoxLayout(this);

    auto* group = new QGroupBox("Lumerix Messages", this);
    auto* groupLayout = new QVBoxLayout(group);
    messages_ = new QPlainTextEdit(group);
    messages_->setReadOnly(true);
    messages_->setObjectName(QString::number(IDC_MESSAGES));
    messages_->setMinimumSize(520, 300);
    groupLayout->addWidget(messages_);
    controls_[IDC_MESSAGES] = messages_;
    layout->addWidget(group, 1);

    auto* buttons = new QVBoxLayout();
    const std::pair<int, const char*> buttonDefs[] = {{IDC_CONFIG, "Config"},
                                                      {IDC_START_GRABBING, "Start Grabbing"},
                                                      {IDC_STOP_GRABBING, "Stop Grabbing"},
                                                      {IDC_CLOSE, "Close"}};
    for (const auto& [id, label] : buttonDefs) {
        auto* button = new QPushButton(label, this);
        button->setObjectName(QString::number(id));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, cid = id] {
            if (callbacks_.command)
                callbacks_.command(cid);
        });
        buttons->addWidget(button);
        controls_[id] = button;
    }
    buttons->addStretch();
    layout->addLayout(buttons);

    model_.SetObserver([this](int id) { Render(id); });
    Render(0);
    for (const auto& [id, field] : model_.Fields())
        Render(id);
}

QWidget* CMainWindow::Control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void CMainWindow::Render(int id) {
    if (id == 0) {
        setWindowTitle(QString::fromStdString(model_.Title()));
        return;
    }
    QWidget* widget = Control(id);
    if (widget == nullptr)
        return;
    const auto& field = model_.Fields().at(id);
    widget->setEnabled(field.enabled);
    widget->setVisible(field.visible);
    if (widget == messages_) {
        // The model keeps Windows line ends; the widget shows plain lines.
        QString text = QString::fromStdString(field.text);
        text.replace("\r\n", "\n");
        if (text.endsWith('\n'))
            text.chop(1);
        messages_->setPlainText(text);
        messages_->verticalScrollBar()->setValue(messages_->verticalScrollBar()->maximum());
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        if (!field.text.empty())
            button->setText(QString::fromStdString(field.text));
    }
}

void CMainWindow::reject() {
    if (callbacks_.cancel)
        callbacks_.cancel();
}

void CMainWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (callbacks_.cancel)
        callbacks_.cancel();
}
