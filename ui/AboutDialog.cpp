#include "ui/AboutDialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Lumerix2");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Lumerix2 Version 2.64, 22 November 2007", this));

    auto* group = new QGroupBox("Information", this);
    auto* groupLayout = new QVBoxLayout(group);
    auto* description = new QLabel(
        "Frame server for the cameras of the facility: acquires the frames of one camera, "
        "measures the beam spot and serves every frame to viewers and to the ZEFT control "
        "system.",
        group);
    description->setWordWrap(true);
    description->setMinimumWidth(360);
    groupLayout->addWidget(description);
    groupLayout->addWidget(new QLabel("Lossless codec: HuffYUV (\"HFYU\")", group));
    layout->addWidget(group);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("1");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
