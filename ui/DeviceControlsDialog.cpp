#include "ui/DeviceControlsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "capture/Grabber.h"

CDeviceControlsDialog::CDeviceControlsDialog(CGrabber& grabber, QWidget* parent)
    : QDialog(parent), grabber_(grabber) {
    setWindowTitle(QString::fromStdString(grabber_.FriendlyName()) + " Properties");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    layout->addLayout(form);

    const std::vector<DeviceControl> controls = grabber_.Controls();
    for (const DeviceControl& c : controls) {
        const QString id = QString::number(c.id);
        const QString label = QString::fromStdString(c.name);
        auto set = [this, cid = c.id](int value) { grabber_.SetControl(cid, value); };
        if (c.kind == ControlKind::kBoolean) {
            auto* box = new QCheckBox(this);
            box->setObjectName(id);
            box->setChecked(c.value != 0);
            connect(box, &QCheckBox::toggled, this, [set](bool on) { set(on ? 1 : 0); });
            resetters_.push_back([box, def = c.defaultValue] { box->setChecked(def != 0); });
            form->addRow(label, box);
        } else if (c.kind == ControlKind::kMenu) {
            auto* list = new QComboBox(this);
            list->setObjectName(id);
            for (const MenuItem& item : c.menu)
                list->addItem(QString::fromStdString(item.name), item.value);
            list->setCurrentIndex(list->findData(c.value));
            connect(list, &QComboBox::activated, this,
                    [set, list](int index) { set(list->itemData(index).toInt()); });
            resetters_.push_back([list, set, def = c.defaultValue] {
                list->setCurrentIndex(list->findData(def));
                set(def);
            });
            form->addRow(label, list);
        } else {
            auto* slider = new QSlider(Qt::Horizontal, this);
            slider->setObjectName(id);
            slider->setRange(c.minimum, c.maximum);
            slider->setSingleStep(std::max(c.step, 1));
            slider->setPageStep(std::max(c.step, (c.maximum - c.minimum) / 10));
            slider->setValue(c.value);
            slider->setMinimumWidth(240);
            // A fractional setting travels as an integer of 10^-decimals units.
            auto text = [decimals = c.decimals](int value) {
                return decimals == 0
                           ? QString::number(value)
                           : QString::number(value / std::pow(10.0, decimals), 'f', decimals);
            };
            auto* shown = new QLabel(text(c.value), this);
            shown->setMinimumWidth(shown->fontMetrics().averageCharWidth() * 10);
            connect(slider, &QSlider::valueChanged, this, [set, shown, text](int value) {
                shown->setText(text(value));
                set(value);
            });
            resetters_.push_back([slider, def = c.defaultValue] { slider->setValue(def); });
            auto* row = new QHBoxLayout();
            row->addWidget(slider, 1);
            row->addWidget(shown);
            form->addRow(label, row);
        }
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    auto* defaults = buttons->addButton("Default", QDialogButtonBox::ResetRole);
    connect(defaults, &QPushButton::clicked, this, [this] {
        for (const auto& reset : resetters_)
            reset();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}
