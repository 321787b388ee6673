#pragma once
// The Bin Sizes page: the counter's size bins in up to 32 edits, checked and
// programmed into the counter on the way back.

#include "ui/DevicePage.h"

#include <vector>

class QLineEdit;

class VOK_DlgDeviceBins : public DevicePage {
public:
    explicit VOK_DlgDeviceBins(VOKDevice& device, QWidget* parent = nullptr);

    bool Validate() override;
    void Apply() override;

protected:
    void Initialise() override;

private:
    std::vector<QLineEdit*> edits_;
    std::vector<double> sizes_;
};
