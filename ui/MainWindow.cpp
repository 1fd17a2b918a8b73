#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/AboutDialog.h"

namespace {

QLineEdit* StatusField(QWidget* parent, int minChars = 8) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(true);
    edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * minChars);
    return edit;
}

}  // namespace

CMainWindow::CMainWindow(CDialogModel& model, Callbacks callbacks)
    : model_(model), callbacks_(std::move(callbacks)) {
    auto* layout = new QHBoxLayout(this);

    // Linux windows carry no system menu; the About box sits in the Help menu instead.
    auto* menuBar = new QMenuBar(this);
    QAction* about = menuBar->addMenu("&Help")->addAction("&About Lumerix...");
    about->setObjectName(QString::number(kAboutId));
    connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
    layout->setMenuBar(menuBar);

    auto* left = new QVBoxLayout();
    layout->addLayout(left, 1);

    auto* top = new QHBoxLayout();
    auto* rateGroup = new QGroupBox("Framerate", this);
    auto* rateLayout = new QHBoxLayout(rateGroup);
    rateLayout->addWidget(new QLabel("approx.", rateGroup));
    rateLayout->addWidget(Register(IDC_FRAMERATE, StatusField(rateGroup)));
    rateLayout->addWidget(new QLabel("Hz", rateGroup));
    top->addWidget(rateGroup);
    auto* beatGroup = new QGroupBox("Capture Heartbeat", this);
    auto* beatLayout = new QHBoxLayout(beatGroup);
    beatLayout->addWidget(Register(IDC_HEARTBEAT, StatusField(beatGroup, 12)));
    top->addWidget(beatGroup, 1);
    left->addLayout(top);

    auto* losslessGroup = new QGroupBox("Lossless connection status", this);
    auto* losslessLayout = new QGridLayout(losslessGroup);
    losslessLayout->addWidget(Register(IDC_LOSSLESS_CLIENTS, StatusField(losslessGroup)), 0, 0);
    losslessLayout->addWidget(new QLabel("client(s) connected on sockets", losslessGroup), 0, 1);
    losslessLayout->addWidget(Register(IDC_ZEFT_CLIENTS, StatusField(losslessGroup)), 1, 0);
    losslessLayout->addWidget(new QLabel("ZEFT clients connected", losslessGroup), 1, 1);
    losslessLayout->setColumnStretch(1, 1);
    left->addWidget(losslessGroup);

    auto* lossyGroup = new QGroupBox("Lossy connection status", this);
    auto* lossyLayout = new QGridLayout(lossyGroup);
    auto* lossyCheck = new QCheckBox(lossyGroup);
    // Shows the channel's state; the operator changes it in the configuration.
    lossyCheck->setAttribute(Qt::WA_TransparentForMouseEvents);
    lossyCheck->setFocusPolicy(Qt::NoFocus);
    lossyLayout->addWidget(Register(IDC_LOSSY_CHECK, lossyCheck), 0, 0, Qt::AlignRight);
    lossyLayout->addWidget(Register(IDC_LOSSY_ENABLED_TEXT, new QLabel("Enabled", lossyGroup)), 0,
                           1);
    lossyLayout->addWidget(Register(IDC_LOSSY_CLIENTS, StatusField(lossyGroup)), 1, 0);
    lossyLayout->addWidget(
        Register(IDC_LOSSY_CLIENTS_TEXT, new QLabel("client(s) connected on sockets", lossyGroup)),
        1, 1);
    lossyLayout->setColumnStretch(1, 1);
    left->addWidget(lossyGroup);

    auto settingsGroup = [this](const char* title,
                                std::initializer_list<std::pair<int, const char*>> rows) {
        auto* group = new QGroupBox(title, this);
        auto* form = new QFormLayout(group);
        for (const auto& [id, label] : rows)
            form->addRow(label, Register(id, StatusField(group, 14)));
        return group;
    };
    auto* settings = new QHBoxLayout();
    settings->addWidget(
        settingsGroup("Current applied settings", {{IDC_CURRENT_NAME, "Name"},
                                                   {IDC_CURRENT_CAMID, "ID"},
                                                   {IDC_CURRENT_ORIENTATION, "Orientation"},
                                                   {IDC_CURRENT_SCALE, "Scale"},
                                                   {IDC_CURRENT_WIDTH, "Width [px]"},
                                                   {IDC_CURRENT_HEIGHT, "Height [px]"},
                                                   {IDC_CURRENT_BPP, "BPP"}}),
        1, Qt::AlignTop);
    settings->addWidget(
        settingsGroup("Settings to be applied", {{IDC_PENDING_NAME, "Name"},
                                                 {IDC_PENDING_CAMID, "ID"},
                                                 {IDC_PENDING_ORIENTATION, "Orientation"},
                                                 {IDC_PENDING_SCALE, "Scale"}}),
        1, Qt::AlignTop);
    left->addLayout(settings);

    auto* group = new QGroupBox("Lumerix Messages", this);
    auto* groupLayout = new QVBoxLayout(group);
    messages_ = new QPlainTextEdit(group);
    messages_->setReadOnly(true);
    messages_->setMinimumSize(420, 160);
    groupLayout->addWidget(Register(IDC_MESSAGES, messages_));
    left->addWidget(group, 1);

    auto* buttons = new QVBoxLayout();
    const std::pair<int, const char*> buttonDefs[] = {{IDC_CONFIG, "Config"},
                                                      {IDC_START_GRABBING, "Start Grabbing"},
                                                      {IDC_STOP_GRABBING, "Stop Grabbing"},
                                                      {IDC_CLOSE, "Close"}};
    for (const auto& [id, label] : buttonDefs) {
        auto* button = new QPushButton(label, this);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, cid = id] {
            if (callbacks_.command)
                callbacks_.command(cid);
        });
        buttons->addWidget(Register(id, button));
    }
    buttons->addStretch();
    layout->addLayout(buttons);

    model_.SetObserver([this](int id) { Render(id); });
    Render(0);
    for (const auto& [id, field] : model_.Fields())
        Render(id);
}

QWidget* CMainWindow::Register(int id, QWidget* widget) {
    widget->setObjectName(QString::number(id));
    controls_[id] = widget;
    return widget;
}

QWidget* CMainWindow::Control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void CMainWindow::ShowAbout() {
    CAboutDialog about(this);
    about.exec();
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
    if (widget == messages_) {
        // The model keeps Windows line ends; the widget shows plain lines.
        QString text = QString::fromStdString(field.text);
        text.replace("\r\n", "\n");
        if (text.endsWith('\n'))
            text.chop(1);
        messages_->setPlainText(text);
        messages_->verticalScrollBar()->setValue(messages_->verticalScrollBar()->maximum());
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(QString::fromStdString(field.text));
    } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
        check->setChecked(field.checked);
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
