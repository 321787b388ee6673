#pragma once
// One page of the device's property sheet: it copies from the device when it
// is first shown, checks what the operator typed, and hands it to the
// device's setters. A page that was never shown applies nothing.

#include <QShowEvent>
#include <QWidget>

class VOKDevice;

class DevicePage : public QWidget {
public:
    explicit DevicePage(VOKDevice& device, QWidget* parent = nullptr) : QWidget(parent), device_(device) {}

    bool IsInitialised() const { return initialised_; }
    // False, after telling the operator why, when the page's values cannot be applied.
    virtual bool Validate() = 0;
    // The checked values to the device; runs off the GUI thread (the setters
    // may talk to the counter), so it reads only what Validate kept.
    virtual void Apply() = 0;
    // Messages of Apply's own that need the window, shown once it has ended.
    virtual void AfterApply() {}

protected:
    virtual void Initialise() = 0;
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        if (initialised_) return;
        Initialise();
        initialised_ = true;
    }

    VOKDevice& device_;

private:
    bool initialised_ = false;
};
