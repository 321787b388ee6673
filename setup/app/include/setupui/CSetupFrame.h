#pragma once
// The setup tool's main window: the view in the middle and the status bar
// with its four layouts, its progress bar and the light indicator.

#include "setupui/SetupStatus.h"

#include <QIcon>
#include <QMainWindow>
#include <QStatusBar>

#include <string_view>
#include <vector>

class CVOKView;
class QLabel;
class QProgressBar;

// The window's texts come as UTF-8.
QString SetupText(std::string_view text);

// The tool's icon: a counter with its light on and a size scale, at several sizes.
QIcon SetupIcon();

class CSetupStatusBar : public QStatusBar {
    Q_OBJECT
public:
    explicit CSetupStatusBar(QWidget* parent = nullptr);
    void SetLayout(SetupStatusLayout layout, int port = 0, int device = 0);
    SetupStatusLayout Layout() const { return layout_; }
    // Lit while the selected sensor's light is on.
    void SetIndicator(bool lit);
    bool IndicatorLit() const { return lit_; }
    QProgressBar& Progress() { return *progress_; }
    // The texts shown now, left to right.
    std::vector<std::string> PaneTexts() const;

private:
    SetupStatusLayout layout_ = SetupStatusLayout::Ready;
    bool lit_ = false;
    std::vector<QLabel*> panes_;
    QProgressBar* progress_ = nullptr;
    QLabel* indicator_ = nullptr;
};

class CSetupFrame : public QMainWindow {
    Q_OBJECT
public:
    // scanPorts: the port numbers the scans go over (every COM1 to COM32 unless a test says otherwise).
    explicit CSetupFrame(std::vector<int> scanPorts = {}, QWidget* parent = nullptr);
    CVOKView& View() { return *view_; }
    CSetupStatusBar& Status() { return *status_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    CSetupStatusBar* status_ = nullptr;
    CVOKView* view_ = nullptr;
};
