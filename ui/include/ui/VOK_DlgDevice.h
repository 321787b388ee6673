#pragma once
// The "Device Properties" sheet of a counter device: Configuration, Bin
// Sizes, Analog Inputs and Calibration Curve Pts. OK checks every page that
// was shown before any of them applies, so a refused page changes nothing;
// the changes then go to the device off the GUI thread, the window painting
// while the counter confirms them.

#include <QDialog>

#include <vector>

class DevicePage;
class QTabWidget;
class VOKDevice;

class VOK_DlgDevice : public QDialog {
public:
    explicit VOK_DlgDevice(VOKDevice& device, QWidget* parent = nullptr);

    QTabWidget& Tabs() { return *tabs_; }
    void accept() override;

private:
    QTabWidget* tabs_;
    std::vector<DevicePage*> pages_;
};
