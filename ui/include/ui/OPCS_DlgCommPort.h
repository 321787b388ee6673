#pragma once
// The modeless "Port Statistics" window: for one open serial port at a time
// the port's traffic and error counters, once a second, and the Communication
// Viewer over the messages the port records, which the operator starts and
// stops, sizes, switches between text and hexadecimal and clears; Record Data
// copies the viewer's lines into the I/O log. The selected port, the buffer
// size and the display mode are remembered for the whole program, so the
// window reopens as it was left.
//
// Devices hold a port for whole exchanges from their poll threads; the window
// never waits for that: it reads the port's counters and a copy of its trace,
// which have locks of their own, and formats the copy afterwards.

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "ui/CommTraceText.h"

#include <QDialog>
#include <QTimer>

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTreeWidget;

class OPCS_DlgCommPort : public QDialog {
    Q_OBJECT

public:
    static constexpr int kHelpContext = 111;
    static constexpr int kRefreshMs = 1000;
    static constexpr int kViewerColumnWidth = 8000;

    // Opens a new window on the serial layer's open ports, shown and modeless;
    // it deletes itself when closed.
    static OPCS_DlgCommPort* Open(QWidget* parent);

    // A window on the serial layer's ports that are open now.
    explicit OPCS_DlgCommPort(QWidget* parent = nullptr);
    // A window on these ports (null entries are left out).
    OPCS_DlgCommPort(const std::vector<CSerial*>& ports, QWidget* parent = nullptr);
    ~OPCS_DlgCommPort() override;

    // Called with kHelpContext by the Help button and F1; nothing happens while unset.
    std::function<void(int)> onHelp;

    CSerial* SelectedPort() const { return port_; }
    const CLogFile& IoLog() const { return ioLog_; }
    bool IsRefreshing() const { return timer_.isActive(); }
    // One timer tick at once: counters, viewer and I/O log brought up to date.
    void Refresh();

public slots:
    void done(int result) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void SelectPort(int index);
    void ShowCounters();
    // Empties the viewer and fills it again from the port's messages now.
    void RebuildViewer();
    void ShowLines(const std::vector<std::string>& lines);
    void ResetCounters();
    void BufferSizeChanged(int size);
    void DisplayModeChanged();
    void ClearMessages();
    void StartStopToggled(bool on);
    void RecordDataToggled(bool on);
    // Stops the timer and closes the I/O log; the window is going.
    void Finish();
    void Help();

    std::vector<CSerial*> ports_;
    CSerial* port_ = nullptr;
    CLogFile ioLog_;
    commtrace::NewMessages unlogged_;
    QTimer timer_;

    QComboBox* portList_ = nullptr;
    QPushButton* reset_ = nullptr;
    std::array<QLabel*, commtrace::kCounterFieldCount> counters_{};
    QPushButton* startStop_ = nullptr;
    QSpinBox* bufferSize_ = nullptr;
    QRadioButton* ascii_ = nullptr;
    QRadioButton* binaryHex_ = nullptr;
    QPushButton* clear_ = nullptr;
    QCheckBox* recordData_ = nullptr;
    QTreeWidget* viewer_ = nullptr;
};
