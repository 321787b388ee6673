#pragma once
// The Configuration page: name, sample interval, bus address, flow, port,
// data source and in-service state of a counter device.

#include "platform/WinTypes.h"
#include "ui/DevicePage.h"

#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;

class VOK_DlgDeviceCfg : public DevicePage {
public:
    explicit VOK_DlgDeviceCfg(VOKDevice& device, QWidget* parent = nullptr);

    bool Validate() override;
    void Apply() override;
    void AfterApply() override;

protected:
    void Initialise() override;

private:
    QLineEdit* name_;
    QSpinBox* minutes_;
    QSpinBox* seconds_;
    QDoubleSpinBox* flow_;
    QComboBox* port_;
    QRadioButton* fromDevice_;
    QRadioButton* simulate_;
    QCheckBox* inService_;
    // What Validate took from the widgets, for Apply off the GUI thread.
    struct Values {
        std::string name;
        DWORD interval = 0;
        double flow = 0;
        std::optional<std::int32_t> port;
        bool simulate = false;
        bool inService = true;
    } values_;
    bool intervalWritten_ = true;
};
