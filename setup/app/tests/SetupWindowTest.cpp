// The setup tool's window driven as a technician drives it, against simulated
// counters on pseudo-terminals registered as COM names.
#include "setupui/CSetupFrame.h"
#include "setupui/CVOKView.h"

#include "platform/Environment.h"
#include "setup/SupportedModels.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "setupui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QTest::qWait(10);
    return done();
}

// Calls act(window) once a modal window that found() accepts is up, checking
// every 20 ms from the event loop (never from a loop of its own, which would
// keep an ending dialog's loop from returning).
void WhenModal(std::function<bool(QWidget*)> found, std::function<void(QWidget*)> act, const std::string& what) {
    auto* poll = new QTimer(qApp);
    auto* waited = new QElapsedTimer;
    waited->start();
    QObject::connect(poll, &QTimer::timeout, [poll, waited, found, act, what] {
        QWidget* window = QApplication::activeModalWidget();
        const bool up = window != nullptr && found(window);
        if (!up && waited->elapsed() < 5000) return;
        poll->stop();
        poll->deleteLater();
        delete waited;
        if (up) act(window);
        else ADD_FAILURE() << "no " << what << " came up";
    });
    poll->start(20);
}

// Once the modal window of this object name is up: fill() works on it.
void WhenShown(const char* name, std::function<void(QWidget*)> fill) {
    const std::string wanted = name;
    WhenModal([wanted](QWidget* w) { return w->objectName().toStdString() == wanted; }, std::move(fill), wanted);
}

// Answers the next message box with this button, remembering its text.
void AnswerBox(QMessageBox::StandardButton answer, std::string* text = nullptr) {
    WhenModal([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
              [answer, text](QWidget* w) {
                  auto* box = qobject_cast<QMessageBox*>(w);
                  if (text != nullptr) *text = box->text().toStdString();
                  box->button(answer)->click();
              },
              "message box");
}

// Types a size into the size dialog and presses OK.
void TypeSize(const QString& size) {
    WhenShown("sizeDialog", [size](QWidget* dialog) {
        auto* field = dialog->findChild<QLineEdit*>("size");
        ASSERT_NE(field, nullptr);
        field->setText(size);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
}

void TypePoint(const QString& size, const QString& voltage) {
    WhenShown("calDialog", [size, voltage](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("size")->setText(size);
        dialog->findChild<QLineEdit*>("voltage")->setText(voltage);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
}

SimCounterConfig Counter(int address, std::vector<double> bins = {0.3, 0.5, 1.0, 5.0, 10.0}) {
    SimCounterConfig c;
    c.address = address;
    c.binsUm = std::move(bins);
    return c;
}

std::vector<std::string> Texts(const QTreeWidget& list, int column = 0) {
    std::vector<std::string> texts;
    for (int i = 0; i < list.topLevelItemCount(); ++i) texts.push_back(list.topLevelItem(i)->text(column).toStdString());
    return texts;
}

class SetupWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        ASSERT_TRUE(supportedmodels::EnsureDefaults());
    }
    void TearDown() override {
        frame.reset();
        for (auto& line : lines) line->Stop();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    SimLine& AddLine(int port, std::vector<SimCounterConfig> counters) {
        SimLineConfig config;
        config.counters = std::move(counters);
        config.comName = "COM" + std::to_string(port);
        config.timeScale = 1000;
        auto line = std::make_unique<SimLine>();
        std::string error;
        EXPECT_TRUE(line->Start(config, &error)) << error;
        lines.push_back(std::move(line));
        return *lines.back();
    }

    // The window on these ports, shown, with its first scan through.
    void OpenWindow(std::vector<int> ports) {
        frame = std::make_unique<CSetupFrame>(std::move(ports));
        frame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
        ASSERT_TRUE(WaitUntil([&] { return view().IsScanning(); }, 2000)) << "the first scan starts by itself";
        ASSERT_TRUE(WaitUntil([&] { return !view().IsScanning(); }, 30000));
    }

    CVOKView& view() { return frame->View(); }
    QTreeWidget& tree() { return view().Tree(); }
    QPushButton* Button(const char* name) { return view().findChild<QPushButton*>(name); }
    // The child-th sensor item under the top-th port item.
    QTreeWidgetItem* Sensor(int top, int child) { return tree().topLevelItem(top)->child(child); }
    // The item with this text anywhere in the tree.
    QTreeWidgetItem* Item(const char* text) {
        const auto items = tree().findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        EXPECT_EQ(items.size(), 1) << text;
        return items.isEmpty() ? nullptr : items.front();
    }

    std::vector<std::unique_ptr<SimLine>> lines;
    std::unique_ptr<CSetupFrame> frame;

private:
    TempDir registry_;
};

TEST_F(SetupWindowTest, TheScanShowsSupportedSensorsByPortAndTheSelectedOneBlinks) {
    SimCounterConfig other = Counter(9);
    other.modelText = "XYZ";  // a model this machine does not list
    AddLine(41, {Counter(5), other, Counter(17)});
    AddLine(43, {Counter(2)});
    ASSERT_NO_FATAL_FAILURE(OpenWindow({41, 43}));

    // The ports come in the order their first sensor was reported.
    ASSERT_EQ(tree().topLevelItemCount(), 2);
    const int com41 = tree().topLevelItem(0)->text(0) == "Comport 41" ? 0 : 1;
    EXPECT_EQ(tree().topLevelItem(com41)->text(0), "Comport 41");
    EXPECT_EQ(tree().topLevelItem(1 - com41)->text(0), "Comport 43");
    EXPECT_TRUE(tree().topLevelItem(0)->isExpanded());
    EXPECT_FALSE(tree().topLevelItem(1)->isExpanded());
    ASSERT_EQ(tree().topLevelItem(com41)->childCount(), 2);
    EXPECT_EQ(Sensor(com41, 0)->text(0), "Sensor:05   Model: MCA");
    EXPECT_EQ(Sensor(com41, 1)->text(0), "Sensor:17   Model: MCA");
    EXPECT_EQ(Sensor(1 - com41, 0)->text(0), "Sensor:02   Model: MCA");
    EXPECT_EQ(frame->Status().PaneTexts(), (std::vector<std::string>{"Ready"}));
    EXPECT_FALSE(Button("addSize")->isEnabled()) << "nothing selected";

    tree().setCurrentItem(Sensor(com41, 1));
    EXPECT_EQ(frame->Status().PaneTexts(), (std::vector<std::string>{"Ready", "Flashing", "Comport: 41", "Device: 17"}));
    EXPECT_EQ(Texts(view().SizeList()), (std::vector<std::string>{"0.3", "0.5", "1.0", "5.0", "10."}));
    EXPECT_EQ(Texts(view().CalList(), 1), (std::vector<std::string>{"100", "180", "300", "620", "850", "980"}));
    // Every half second the light changes, and the indicator with it.
    SimLine& line = *lines[0];
    ASSERT_TRUE(WaitUntil([&] { return line.CounterState(17)->light && frame->Status().IndicatorLit(); }, 3000));
    ASSERT_TRUE(WaitUntil([&] { return !line.CounterState(17)->light && !frame->Status().IndicatorLit(); }, 3000));
    EXPECT_FALSE(line.CounterState(5)->light);

    // A port item stops the blinking and leaves the light off.
    ASSERT_TRUE(WaitUntil([&] { return line.CounterState(17)->light; }, 3000));
    tree().setCurrentItem(tree().topLevelItem(1 - com41));
    EXPECT_EQ(frame->Status().PaneTexts(), (std::vector<std::string>{"Ready"}));
    EXPECT_TRUE(Texts(view().SizeList()).empty());
    EXPECT_FALSE(line.CounterState(17)->light);
    QTest::qWait(2 * CVOKView::kBlinkMs);
    EXPECT_FALSE(line.CounterState(17)->light);
}

TEST_F(SetupWindowTest, SizesAndPointsAreProgrammedAndUnsavedEditsAreAskedAbout) {
    SimLine& line = AddLine(41, {Counter(5, {2, 7}), Counter(6)});
    ASSERT_NO_FATAL_FAILURE(OpenWindow({41}));
    tree().setCurrentItem(Sensor(0, 0));

    TypeSize("0.5");
    Button("addSize")->click();
    TypeSize("0.3");
    Button("addSize")->click();
    EXPECT_EQ(Texts(view().SizeList()), (std::vector<std::string>{"0.3", "0.5", "2.0", "7.0"}));
    // The same size again is refused and changes nothing.
    std::string refusal;
    TypeSize("2");
    AnswerBox(QMessageBox::Ok, &refusal);
    Button("addSize")->click();
    EXPECT_EQ(refusal, "The size already exists.");
    EXPECT_EQ(Texts(view().SizeList()).size(), 4u);

    Button("saveSizes")->click();
    EXPECT_EQ(line.CounterState(5)->binsUm, (std::vector<double>{0.3, 0.5, 2, 7}));
    EXPECT_FALSE(view().Editor().SizesChanged());
    EXPECT_EQ(view().Document().sensors[0].sizes, (std::vector<double>{0.3, 0.5, 2, 7}));
    EXPECT_EQ(frame->Status().PaneTexts(), (std::vector<std::string>{"Ready", "Flashing", "Comport: 41", "Device: 5"}));

    // An unsaved calibration edit: Cancel keeps the sensor, No leaves it unprogrammed.
    TypePoint("15", "950");
    Button("addPoint")->click();
    ASSERT_TRUE(view().Editor().CalChanged());
    const auto calibrationBefore = line.CounterState(5)->calibration;
    std::string prompt;
    AnswerBox(QMessageBox::Cancel, &prompt);
    tree().setCurrentItem(Sensor(0, 1));
    EXPECT_EQ(prompt.rfind("The Calibration information for this sensor has been changed!", 0), 0u) << prompt;
    EXPECT_EQ(tree().currentItem(), Sensor(0, 0));
    EXPECT_EQ(view().Editor().Selected(), &view().Document().sensors[0]);

    AnswerBox(QMessageBox::Yes);
    tree().setCurrentItem(Sensor(0, 1));
    EXPECT_EQ(tree().currentItem(), Sensor(0, 1));
    const auto calibration = line.CounterState(5)->calibration;
    ASSERT_EQ(calibration.size(), calibrationBefore.size() + 1);
    EXPECT_NE(std::find(calibration.begin(), calibration.end(), SimCalPoint{15, 950}), calibration.end());
}

TEST_F(SetupWindowTest, PicturesOfTheWindowAndItsDialogs) {
    const QString folder = qEnvironmentVariable("VOK_SCREENSHOT_DIR");
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR not set";
    QDir().mkpath(folder);
    SimLine& line = AddLine(41, {Counter(3), Counter(12, {0.3, 0.5, 0.7, 1, 2, 5, 10, 25})});
    AddLine(42, {Counter(1)});
    ASSERT_NO_FATAL_FAILURE(OpenWindow({41, 42}));
    for (int i = 0; i < tree().topLevelItemCount(); ++i) tree().topLevelItem(i)->setExpanded(true);
    tree().setCurrentItem(Item("Sensor:12   Model: MCA"));
    view().SizeList().setCurrentItem(view().SizeList().topLevelItem(2));
    ASSERT_TRUE(WaitUntil([&] { return line.CounterState(12)->light && frame->Status().IndicatorLit(); }, 3000));
    EXPECT_TRUE(frame->grab().save(folder + "/setup-window.png"));

    WhenShown("sizeDialog", [folder](QWidget* dialog) {
        EXPECT_TRUE(dialog->grab().save(folder + "/setup-size-dialog.png"));
        QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    });
    Button("editSize")->click();
    view().CalList().setCurrentItem(view().CalList().topLevelItem(1));
    WhenShown("calDialog", [folder](QWidget* dialog) {
        EXPECT_TRUE(dialog->grab().save(folder + "/setup-cal-dialog.png"));
        QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    });
    Button("editPoint")->click();
}

}  // namespace
