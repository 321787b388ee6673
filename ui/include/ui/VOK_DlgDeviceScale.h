#pragma once
// The Analog Inputs page: for each of the eight inputs, whether it is used,
// its engineering range and its dead band.

#include "model/VOKDevice.h"
#include "ui/DevicePage.h"

#include <vector>

class QCheckBox;
class QLineEdit;

class VOK_DlgDeviceScale : public DevicePage {
public:
    explicit VOK_DlgDeviceScale(VOKDevice& device, QWidget* parent = nullptr);

    bool Validate() override;
    void Apply() override;

protected:
    void Initialise() override;

private:
    struct Row {
        QCheckBox* enable;
        QLineEdit* minimum;
        QLineEdit* maximum;
        QLineEdit* deadBand;
    };
    void OnEnableClicked(int row);
    void OnMore(int row);
    void ShowRow(int row, bool enabled, double minimum, double maximum, double deadBand);

    std::vector<Row> rows_;
    std::vector<VOKAnalogLimits> limits_;
};
