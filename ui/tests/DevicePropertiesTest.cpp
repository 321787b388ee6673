// The device's property sheet against a simulated counter on a real
// pseudo-terminal: what the operator types reaches the counter, what the
// counter cannot hold is refused with the counter untouched. The pages'
// checks are also tested on their own.
#include "ui/DeviceSheetLogic.h"
#include "ui/VOK_DlgDevice.h"
#include "ui/VOK_DlgGroup.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "config/OPCS_Doc.h"
#include "link/CSerial.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTagGroup.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using devicesheet::CheckBins;

TEST(DeviceSheetLogic, BinSizesMustRiseAndFitTheCountersThreeCharacters) {
    auto sizes = [](std::vector<std::string> edits) {
        edits.resize(devicesheet::kBinEdits);
        return CheckBins(edits);
    };
    const auto good = sizes({"0.3", "0.50", "", "1", " 5 ", "10", "999"});
    ASSERT_TRUE(good.ok);
    EXPECT_EQ(good.sizes, (std::vector<double>{0.3, 0.5, 1, 5, 10, 999})) << "an empty edit between two is skipped";
    EXPECT_EQ(good.texts[1], "0.5") << "rewritten as the page shows numbers";
    EXPECT_EQ(good.texts[4], "5");
    EXPECT_FALSE(sizes({"2", "2", "5"}).ok) << "not rising";
    EXPECT_FALSE(sizes({"5", "1.5"}).ok);
    const auto tooLong = sizes({"1", "12.5"});
    EXPECT_FALSE(tooLong.ok) << "12.5 would reach the counter as another size";
    EXPECT_EQ(tooLong.refused, "12.5");
    EXPECT_FALSE(sizes({"5", "1000"}).ok);
    EXPECT_FALSE(sizes({"0", "1"}).ok);
    EXPECT_FALSE(sizes({"1", "abc"}).ok);
    EXPECT_FALSE(sizes({"1", "nan"}).ok);
    EXPECT_FALSE(sizes({}).ok) << "a counter needs at least one bin";
    std::vector<std::string> many;
    for (int i = 1; i <= 33; ++i) many.push_back(std::to_string(i));
    EXPECT_FALSE(CheckBins(many).ok) << "more bins than the counter has";
}

TEST(DeviceSheetLogic, IntervalPortsAndAnalogRows) {
    EXPECT_EQ(devicesheet::SampleInterval(59, 59), 3599u);
    EXPECT_EQ(devicesheet::SampleInterval(60, 0), std::nullopt);
    EXPECT_EQ(devicesheet::SampleInterval(0, 0), 0u);
    EXPECT_EQ(devicesheet::PortText(3, {"COM1", "COM3"}), "COM3");
    EXPECT_EQ(devicesheet::PortText(7, {"COM1", "COM3"}), "None");
    EXPECT_EQ(devicesheet::PortNumber("COM12"), 12);
    EXPECT_EQ(devicesheet::PortNumber("None"), std::nullopt);
    EXPECT_EQ(devicesheet::PortNumber("COM"), std::nullopt);
    EXPECT_EQ(devicesheet::PortNumber("COM1x"), std::nullopt);

    devicesheet::AnalogRow row{false, "", "7", ""};
    devicesheet::SetRowEnabled(row, true);
    EXPECT_EQ(row.minimum, "4.0");
    EXPECT_EQ(row.maximum, "7") << "what was typed stays";
    EXPECT_EQ(row.deadBand, "0.0");
    devicesheet::SetRowEnabled(row, false);
    EXPECT_TRUE(row.minimum.empty() && row.maximum.empty() && row.deadBand.empty());
    EXPECT_EQ(devicesheet::ReadRow({true, "4", "20", "0.5"})->maximum, 20);
    EXPECT_EQ(devicesheet::ReadRow({true, "4", "twenty", "0.5"}), std::nullopt);
}

class DevicePropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        SimCounterConfig counter = TestCounter(1, 60);
        counter.binsUm = {0.3, 0.5, 1.0, 5.0, 10.0};
        ASSERT_TRUE(StartTestLine(line, "COM46", {counter}));
        device = VOKDevice::Create(false);
        device->SetPort(46);
        device->SetAddress(0x81);
        device->SetName(device->GetDefaultName());
        VOKDevicePauses pauses;
        pauses.beforeData = 30;
        pauses.busyRetry = 40;
        pauses.confirmation = 20;
        device->SetPauses(pauses);
    }
    void TearDown() override {
        device.reset();
        line.Stop();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    // Opens the sheet, lets the test act on it, presses OK; true when the sheet closed.
    bool RunSheet(int page, const std::function<void(VOK_DlgDevice&)>& act) {
        VOK_DlgDevice sheet(*device);
        sheet.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        sheet.Tabs().setCurrentIndex(page);
        act(sheet);
        auto* ok = sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QTest::mouseClick(ok, Qt::LeftButton);
        return sheet.result() == QDialog::Accepted;
    }
    static void Type(QWidget& sheet, const char* name, const QString& text) {
        auto* edit = sheet.findChild<QLineEdit*>(name);
        ASSERT_NE(edit, nullptr) << name;
        edit->selectAll();
        QTest::keyClicks(edit, text);
        if (text.isEmpty()) edit->clear();
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    SimLine line;
    std::unique_ptr<VOKDevice> device;

private:
    TempDir registry_;
};

}  // namespace

TEST_F(DevicePropertiesTest, BinSizesTypedOnThePageAreProgrammedIntoTheCounter) {
    const bool closed = RunSheet(1, [](VOK_DlgDevice& sheet) {
        Type(sheet, "bin1", "0.5");
        Type(sheet, "bin2", "2");
        Type(sheet, "bin3", "");
        Type(sheet, "bin4", "7");
        for (int i = 5; i <= 32; ++i) Type(sheet, QString("bin%1").arg(i).toUtf8().constData(), "");
    });
    EXPECT_TRUE(closed) << ::testing::PrintToString(ui.Messages().size());
    EXPECT_EQ(line.CounterState(1)->binsUm, (std::vector<double>{0.5, 2, 7}));
    Dll<double> bins;
    device->GetBinSizes(bins);
    EXPECT_EQ(bins.GetCount(), 3);
}

TEST_F(DevicePropertiesTest, BinSizesTheCounterCannotHoldAreRefusedAndTheCounterIsUntouched) {
    const bool closed = RunSheet(1, [](VOK_DlgDevice& sheet) {
        Type(sheet, "bin1", "1");
        Type(sheet, "bin2", "12.5");
    });
    EXPECT_FALSE(closed) << "the sheet stays open on the page";
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_NE(ui.Messages()[0].text.find("There are errors in the Bin Sizes entered."), std::string::npos);
    EXPECT_NE(ui.Messages()[0].text.find("12.5"), std::string::npos);
    EXPECT_EQ(line.CounterState(1)->binsUm, (std::vector<double>{0.3, 0.5, 1.0, 5.0, 10.0}));
}

TEST_F(DevicePropertiesTest, TheConfigurationPageWritesTheIntervalAndRenamesTheDevice) {
    const bool closed = RunSheet(0, [](VOK_DlgDevice& sheet) {
        sheet.findChild<QSpinBox*>("minutes")->setValue(2);
        sheet.findChild<QSpinBox*>("seconds")->setValue(5);
        Type(sheet, "name", "Cleanroom A");
    });
    EXPECT_TRUE(closed);
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(line.CounterState(1)->sampleIntervalS, 125u);
    EXPECT_EQ(device->GetName(), "Cleanroom A");
    EXPECT_EQ(device->GetSampleInterval(), 125u);
}

TEST_F(DevicePropertiesTest, ANameThatIsEmptyOrAnotherDevicesIsRefusedAndTheDeviceKeepsItsOwn) {
    OPCS_Doc doc;
    auto other = VOKDevice::Create(false);
    other->SetPort(47);
    other->SetName("Cleanroom B");
    ASSERT_TRUE(doc.AddDevice(other.release()));
    const std::string before = device->GetName();

    for (const char* refused : {"cleanroom b", "CLEANROOM.B", "", "   "}) {
        ui.Clear();
        const bool closed = RunSheet(0, [refused](VOK_DlgDevice& sheet) { Type(sheet, "name", refused); });
        EXPECT_FALSE(closed) << "'" << refused << "': the sheet stays open";
        ASSERT_EQ(ui.Messages().size(), 1u) << refused;
        const std::string text = ui.Messages()[0].text;
        if (*refused == '\0' || *refused == ' ')
            EXPECT_NE(text.find("Please enter a name for the device."), std::string::npos) << text;
        else
            EXPECT_NE(text.find(std::string("Another device is already named \"") + refused + "\""),
                      std::string::npos)
                << text;
        EXPECT_EQ(device->GetName(), before);
    }
    // Its own name in another letter case, and a name of its own, are fine.
    ui.Clear();
    EXPECT_TRUE(RunSheet(0, [](VOK_DlgDevice& sheet) { Type(sheet, "name", "4400 vok 46-01"); }));
    EXPECT_TRUE(RunSheet(0, [](VOK_DlgDevice& sheet) { Type(sheet, "name", "Cleanroom C"); }));
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(device->GetName(), "Cleanroom C");
}

TEST_F(DevicePropertiesTest, AnAnalogRowThatCannotBeReadIsRefusedAndUncheckingEmptiesIt) {
    const bool closed = RunSheet(2, [](VOK_DlgDevice& sheet) {
        auto* enable = sheet.findChild<QCheckBox*>("enable1");
        if (enable->isChecked()) QTest::mouseClick(enable, Qt::LeftButton, {}, QPoint(4, enable->height() / 2));
        EXPECT_TRUE(sheet.findChild<QLineEdit*>("min1")->text().isEmpty());
        QTest::mouseClick(enable, Qt::LeftButton, {}, QPoint(4, enable->height() / 2));
        EXPECT_EQ(sheet.findChild<QLineEdit*>("min1")->text(), "4.0");
        EXPECT_EQ(sheet.findChild<QLineEdit*>("max1")->text(), "20.0");
        Type(sheet, "max1", "high");
    });
    EXPECT_FALSE(closed);
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_NE(ui.Messages()[0].text.find("Analog input 1"), std::string::npos);
}

TEST_F(DevicePropertiesTest, TheTagGroupDialogRenamesTheGroup) {
    OPCS_TagGroup* group = device->GetKindGroup(VOKTagGroup::AnalogData);
    VOK_DlgGroup dialog(*group);
    dialog.show();
    auto* name = dialog.findChild<QLineEdit*>("name");
    name->selectAll();
    QTest::keyClicks(name, "Room Sensors");
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(group->GetName(), "Room Sensors");
}
