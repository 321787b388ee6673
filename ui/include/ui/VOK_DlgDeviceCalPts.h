#pragma once
// The Calibration Curve Pts page: the counter's calibration points, shown
// only (the curve is changed with the setup tool).

#include "ui/DevicePage.h"

class VOK_DlgDeviceCalPts : public DevicePage {
public:
    static constexpr int kRows = 15;
    explicit VOK_DlgDeviceCalPts(VOKDevice& device, QWidget* parent = nullptr);
    bool Validate() override { return true; }
    void Apply() override {}

protected:
    void Initialise() override;
};
