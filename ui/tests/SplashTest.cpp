#include "ui/CSplashWnd.h"

#include "QtTestApp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

// Stands for the main window: counts what reaches it.
class MainWindow : public QWidget {
public:
    MainWindow() {
        edit = new QLineEdit(this);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(edit);
        resize(300, 200);
    }
    int paints = 0;
    int presses = 0;
    QLineEdit* edit = nullptr;

protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

QWidget* SplashWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "splash" && w->isVisible()) return w;
    return nullptr;
}

void DeliverDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

}  // namespace

TEST(Splash, AKeyOrAClickHidesItAndIsSwallowedAndItShowsOnlyOnce) {
    QtTestApp();
    CSplashWnd::AllowAnotherShowForTesting();
    MainWindow main;
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    main.activateWindow();
    main.edit->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));

    CSplashWnd::ShowSplashScreen(&main);
    ASSERT_TRUE(CSplashWnd::IsVisibleNow());
    QWidget* splash = SplashWindow();
    ASSERT_NE(splash, nullptr);
    EXPECT_TRUE(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(splash->windowFlags().testFlag(Qt::SplashScreen));
    EXPECT_EQ(splash->size(), QSize(420, 260));
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        EXPECT_LE((splash->geometry().center() - screen->geometry().center()).manhattanLength(), 2);
    }

    QCoreApplication::processEvents();
    const int paintsBefore = main.paints;
    QTest::keyClick(main.edit, Qt::Key_X);
    EXPECT_FALSE(CSplashWnd::IsVisibleNow());
    EXPECT_EQ(main.edit->text().toStdString(), "") << "the key that hid the splash reaches no other window";
    // The next key is the main window's again.
    QTest::keyClick(main.edit, Qt::Key_Y);
    EXPECT_EQ(main.edit->text().toStdString(), "y");
    QTest::qWait(50);
    EXPECT_GT(main.paints, paintsBefore) << "the main window is repainted";

    // Once per run: a second call shows nothing.
    CSplashWnd::ShowSplashScreen(&main);
    EXPECT_FALSE(CSplashWnd::IsVisibleNow());
    DeliverDeletes();
    EXPECT_EQ(SplashWindow(), nullptr);

    // A mouse click hides it the same way.
    CSplashWnd::AllowAnotherShowForTesting();
    CSplashWnd::ShowSplashScreen(&main);
    ASSERT_TRUE(CSplashWnd::IsVisibleNow());
    QTest::mouseClick(&main, Qt::LeftButton, {}, QPoint(5, 190));
    EXPECT_FALSE(CSplashWnd::IsVisibleNow());
    EXPECT_EQ(main.presses, 0);
    QTest::mouseClick(&main, Qt::LeftButton, {}, QPoint(5, 190));
    EXPECT_EQ(main.presses, 1);
    DeliverDeletes();
}

TEST(Splash, HidesByItselfAfterItsTime) {
    QtTestApp();
    CSplashWnd::AllowAnotherShowForTesting();
    QElapsedTimer clock;
    clock.start();
    // Without a main window to repaint.
    CSplashWnd::ShowSplashScreen(nullptr);
    ASSERT_TRUE(CSplashWnd::IsVisibleNow());
    QTest::qWait(CSplashWnd::kShowMs / 2);
    EXPECT_TRUE(CSplashWnd::IsVisibleNow()) << "still up after " << clock.elapsed() << " ms";
    while (CSplashWnd::IsVisibleNow() && clock.elapsed() < 5000) QTest::qWait(20);
    EXPECT_FALSE(CSplashWnd::IsVisibleNow());
    // Not early; the few milliseconds allow for the clock started before the timer.
    EXPECT_GE(clock.elapsed(), CSplashWnd::kShowMs - 10);
    EXPECT_LT(clock.elapsed(), 4000);
    DeliverDeletes();
    EXPECT_EQ(SplashWindow(), nullptr);
}
