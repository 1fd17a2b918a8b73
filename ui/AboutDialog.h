#pragma once

#include <QDialog>

// "About Lumerix2": version, what the program is, and the lossless codec it uses.
class CAboutDialog : public QDialog {
  public:
    explicit CAboutDialog(QWidget* parent = nullptr);
};
