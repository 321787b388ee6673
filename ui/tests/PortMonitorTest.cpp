// The "Port Statistics" window driven as the operator drives it, on a
// simulated counter line that a counter device polls: the viewer shows the
// exchanges of a poll pass as text and as hexadecimal, Record Data copies them
// into the I/O log, Reset zeroes the counters, and nothing the operator does
// waits for a port that a device is holding.
#include "ui/OPCS_DlgCommPort.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "link/CSerial.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPort = 45;
constexpr int kSecondPort = 46;

std::string ComName(int port) { return "COM" + std::to_string(port); }

// The text of each entry of a log file after its start entry (headers dropped,
// CR LF read as LF, each entry's closing empty line dropped).
std::vector<std::string> LogEntries(const std::string& path) {
    std::vector<std::string> entries = EventLogCapture::EntriesOf(path);
    if (!entries.empty() && entries.front().rfind("Log started or reset", 0) == 0) entries.erase(entries.begin());
    return entries;
}

class PortMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
    }
    void TearDown() override {
        delete window_.data();
        if (device_) {
            device_->ReleasePolling(OPCS_Device::kOperator);
            device_.reset();
        }
        for (CSerial* port : opened_) port->Close();
        // Ports live for the whole process: the next test finds them as it would at start-up.
        for (int number : {kPort, kSecondPort})
            if (CSerial* port = Port(number)) port->DisableTrace();
        second_.Stop();
        line_.Stop();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    static bool StartLine(SimLine& line, int port) { return StartTestLine(line, ComName(port), {TestCounter(1)}); }

    // A counter device on the line, polling for the operator; true once it
    // has the port open.
    bool StartPolling() {
        if (!StartLine(line_, kPort)) return false;
        device_ = VOKDevice::Create(false);
        device_->SetPort(kPort);
        device_->SetAddress(0x81);
        device_->SetName("Port Monitor Counter");
        VOKDevicePauses pauses;
        pauses.beforeData = 30;
        pauses.busyRetry = 40;
        pauses.confirmation = 20;
        device_->SetPauses(pauses);
        device_->SetSampleInterval(1, false);
        device_->RequestPolling(OPCS_Device::kOperator);
        return QTest::qWaitFor([&] { return Port()->IsOpen(); }, 5000);
    }

    void StopPolling() {
        device_->ReleasePolling(OPCS_Device::kOperator);
        ASSERT_TRUE(QTest::qWaitFor([&] { return device_->GetPollState() == OPCS_Device::kPollingStopped; }, 10000));
    }

    static CSerial* Port(int number = kPort) { return CSerial::FindPortByName(ComName(number)); }

    // The window as View / Port Statistics opens it, turned to a port.
    OPCS_DlgCommPort& OpenWindow(int port = kPort) {
        window_ = OPCS_DlgCommPort::Open(nullptr);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.data()));
        QComboBox* list = Find<QComboBox>("portList");
        const int index = list->findText(QString::fromStdString(ComName(port)));
        EXPECT_GE(index, 0) << "the open port is listed";
        list->setCurrentIndex(index);
        return *window_;
    }

    template <typename T>
    T* Find(const char* name) {
        T* widget = window_->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void Click(const char* name) { QTest::mouseClick(Find<QAbstractButton>(name), Qt::LeftButton); }

    void TypeBufferSize(const char* digits) {
        QSpinBox* size = Find<QSpinBox>("bufferSize");
        size->setFocus();
        size->selectAll();
        QTest::keyClicks(size, digits);
    }

    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        QTreeWidget* viewer = Find<QTreeWidget>("viewer");
        for (int i = 0; i < viewer->topLevelItemCount(); ++i)
            rows.push_back(viewer->topLevelItem(i)->text(0).toLatin1().toStdString());
        return rows;
    }
    // Whether the viewer shows a message of this direction whose first line begins with start.
    bool Shows(const std::string& direction, const std::string& start) {
        const std::vector<std::string> rows = Rows();
        for (std::size_t i = 0; i + 1 < rows.size(); ++i)
            if (rows[i] == direction && rows[i + 1].rfind(start, 0) == 0) return true;
        return false;
    }
    QString Counter(const char* name) { return Find<QLabel>(name)->text(); }

    EventLogCapture log_;
    ScriptedUiServices ui_;
    TempDir files_;
    SimLine line_;
    SimLine second_;
    std::unique_ptr<VOKDevice> device_;
    std::vector<CSerial*> opened_;
    QPointer<OPCS_DlgCommPort> window_;

private:
    TempDir registry_;
};

}  // namespace

TEST_F(PortMonitorTest, APollPassShowsAsTextThenAsHexAndRecordDataLogsEachLineOnce) {
    ASSERT_TRUE(StartPolling());
    OpenWindow();
    EXPECT_EQ(window_->windowTitle(), "Port Statistics");
    EXPECT_TRUE(window_->IsRefreshing());
    EXPECT_FALSE(window_->isModal());
    Click("ascii");
    TypeBufferSize("1000");
    EXPECT_EQ(Port()->GetTraceSize(), 1000u) << "every change of the field goes to the port";

    QAbstractButton* startStop = Find<QAbstractButton>("startStop");
    QCheckBox* record = Find<QCheckBox>("recordData");
    EXPECT_EQ(startStop->text(), "Start");
    EXPECT_FALSE(record->isEnabled()) << "Record Data only while the port records";
    Click("startStop");
    EXPECT_EQ(startStop->text(), "Stop");
    EXPECT_TRUE(Port()->IsTraceEnabled());
    EXPECT_TRUE(record->isEnabled());

    // A data pass as text: the command letter alone, the reply after its echo,
    // a line feed by its name; the select by the address byte itself.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shows("Send:", "A ") && Shows("Receive:", "A "); }, 20000));
    EXPECT_TRUE(Shows("Send:", "M ")) << "the mode query before the data";
    EXPECT_TRUE(Shows("Send:", "\x81 ")) << "the select";
    const std::vector<std::string> text = Rows();
    EXPECT_TRUE(std::any_of(text.begin(), text.end(),
                            [](const std::string& row) { return row.find("CR LF ") != std::string::npos; }));
    for (const std::string& row : text) EXPECT_LE(row.size(), 81u) << row;
    EXPECT_NE(Counter("messagesSent"), "0");
    EXPECT_NE(Counter("messagesRcvd"), "0");

    // Binary Hex starts the viewer afresh, then the same exchanges in digits.
    Click("binaryHex");
    for (const std::string& row : Rows()) {
        EXPECT_NE(row, "A ") << "a text row stayed";
        EXPECT_EQ(row.find("CR LF"), std::string::npos) << "a text row stayed: " << row;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shows("Send:", "41 ") && Shows("Receive:", "41 "); }, 20000));
    EXPECT_TRUE(Shows("Send:", "81 "));
    EXPECT_TRUE(Shows("Send:", "4D "));

    // Record Data with the poll stopped: what the viewer shows goes into the
    // log once, however many ticks pass.
    StopPolling();
    const std::string path = files_.File("Line45 IO.txt");
    ui_.QueueFile(path);
    Click("recordData");
    ASSERT_TRUE(record->isChecked());
    ASSERT_TRUE(window_->IoLog().IsOpen());
    EXPECT_EQ(window_->IoLog().GetFileName(), path);
    QTest::qWait(2300);
    std::vector<std::string> shown;
    for (const std::string& row : Rows()) shown.push_back(row + " ");  // each entry's item ends in a blank
    EXPECT_EQ(LogEntries(path), shown);

    // Polling again: the new messages follow, each once.
    device_->RequestPolling(OPCS_Device::kOperator);
    const std::size_t before = Rows().size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rows().size() > before + 8; }, 20000));
    StopPolling();
    QTest::qWait(1300);
    Click("recordData");
    EXPECT_FALSE(window_->IoLog().IsOpen()) << "unchecked, the log is closed";
    shown.clear();
    for (const std::string& row : Rows()) shown.push_back(row + " ");
    EXPECT_EQ(LogEntries(path), shown);

    // Stopping the recording stops the log's too.
    ui_.QueueFile(path);
    Click("recordData");
    ASSERT_TRUE(window_->IoLog().IsOpen());
    Click("startStop");
    EXPECT_EQ(startStop->text(), "Start");
    EXPECT_FALSE(Port()->IsTraceEnabled());
    EXPECT_FALSE(record->isEnabled());
    EXPECT_FALSE(record->isChecked());
    EXPECT_FALSE(window_->IoLog().IsOpen());
}

TEST_F(PortMonitorTest, ResetClearAndEveryControlAnswerWhileADeviceHoldsThePort) {
    ASSERT_TRUE(StartPolling());
    OpenWindow();
    Click("ascii");
    if (!Port()->IsTraceEnabled()) Click("startStop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shows("Receive:", "A "); }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Counter("messagesSent").toUInt() > 10; }, 5000));

    // Another thread keeps the port as an exchange with a silent counter
    // would; the window goes on ticking and every control answers at once.
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false, release = false;
    std::thread holder([&] {
        SerialPortLock hold(*Port());
        std::unique_lock lock(mutex);
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(8), [&] { return release; });
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return holding; });
    }
    QElapsedTimer elapsed;
    elapsed.start();
    Click("reset");
    for (const auto& field : commtrace::kCounterFields) EXPECT_EQ(Counter(field.objectName), "0") << field.label;
    SerialStatistics statistics;
    Port()->GetStatistics(statistics);
    EXPECT_EQ(statistics.counters[SerialStatistics::MessagesSent], 0u);
    Click("clear");
    EXPECT_TRUE(Rows().empty()) << "cleared at once";
    EXPECT_EQ(Port()->GetTraceCount(), 0u);
    TypeBufferSize("20");
    EXPECT_EQ(Port()->GetTraceSize(), 20u);
    Click("binaryHex");
    Click("startStop");
    Click("startStop");
    QTest::qWait(1100);  // at least one tick
    const qint64 took = elapsed.elapsed();
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    holder.join();
    EXPECT_LT(took, 3000) << "the window waited for the port";

    // Once the port is free the device goes on, in hex now.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shows("Send:", "41 "); }, 20000));
    EXPECT_LE(Port()->GetTraceCount(), 20u);
    EXPECT_NE(Counter("messagesSent"), "0") << "the counters show again";
}

TEST_F(PortMonitorTest, WithoutAnOpenPortTheControlsAreOffAndNothingTicks) {
    OPCS_DlgCommPort window(std::vector<CSerial*>{});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    for (const char* name : {"portList", "viewer", "bufferSize", "startStop", "clear"}) {
        auto* widget = window.findChild<QWidget*>(QLatin1String(name));
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_FALSE(widget->isEnabled()) << name;
    }
    EXPECT_FALSE(window.IsRefreshing());
    EXPECT_EQ(window.SelectedPort(), nullptr);
    EXPECT_EQ(window.findChild<QComboBox*>("portList")->count(), 0);
    // The controls that stay on do nothing harmful without a port.
    QTest::mouseClick(window.findChild<QRadioButton*>("binaryHex"), Qt::LeftButton);
    window.Refresh();
    EXPECT_EQ(window.findChild<QLabel*>("messagesSent")->text(), "0");
}

TEST_F(PortMonitorTest, TheWindowReopensOnItsPortSizeAndModeAndACancelledFileTouchesNothing) {
    ASSERT_TRUE(StartLine(line_, kPort));
    ASSERT_TRUE(StartLine(second_, kSecondPort));
    for (int number : {kPort, kSecondPort}) {
        ASSERT_TRUE(Port(number)->Open());
        opened_.push_back(Port(number));
    }
    Port(kSecondPort)->DisableTrace();
    OpenWindow(kSecondPort);
    EXPECT_EQ(window_->SelectedPort(), Port(kSecondPort));
    TypeBufferSize("123");
    Click("binaryHex");
    Click("startStop");

    // Cancelled, or a file that cannot be made: Record Data goes off again and
    // an existing log keeps its text.
    const std::string existing = files_.File("IOLog.txt");
    std::ofstream(existing) << "yesterday's traffic\n";
    ui_.QueueFile("");
    Click("recordData");
    EXPECT_FALSE(Find<QCheckBox>("recordData")->isChecked());
    EXPECT_FALSE(window_->IoLog().IsOpen());
    ui_.QueueFile(files_.File("no such folder/IOLog.txt"));
    Click("recordData");
    EXPECT_FALSE(Find<QCheckBox>("recordData")->isChecked());
    std::ifstream in(existing);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "yesterday's traffic");

    // Escape closes the window, which deletes itself.
    QTest::keyClick(window_.data(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window_.isNull());
    EXPECT_TRUE(Port(kSecondPort)->IsTraceEnabled()) << "the port goes on recording without the window";

    window_ = OPCS_DlgCommPort::Open(nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.data()));
    EXPECT_EQ(window_->SelectedPort(), Port(kSecondPort));
    EXPECT_EQ(Find<QComboBox>("portList")->currentText().toStdString(), ComName(kSecondPort));
    EXPECT_EQ(Find<QSpinBox>("bufferSize")->value(), 123);
    EXPECT_TRUE(Find<QRadioButton>("binaryHex")->isChecked());
    EXPECT_EQ(Find<QAbstractButton>("startStop")->text(), "Stop") << "read from the port";
    EXPECT_TRUE(Find<QCheckBox>("recordData")->isEnabled());

    // The other port gets the window's size and mode when it is chosen.
    Find<QComboBox>("portList")->setCurrentIndex(
        Find<QComboBox>("portList")->findText(QString::fromStdString(ComName(kPort))));
    EXPECT_EQ(Port(kPort)->GetTraceSize(), 123u);
    Find<QPushButton>("close")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window_.isNull());
    Port(kSecondPort)->DisableTrace();
}
