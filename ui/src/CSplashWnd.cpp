#include "ui/CSplashWnd.h"

#include "ui/ProgramBitmaps.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace {

bool shownOnce = false;
// The one splash window while it is up; it is a top-level window owned by nobody.
CSplashWnd* current = nullptr;

}  // namespace

void CSplashWnd::ShowSplashScreen(QWidget* mainWindow) {
    if (shownOnce) return;
    shownOnce = true;
    current = new CSplashWnd(mainWindow);
    current->show();
}

bool CSplashWnd::IsVisibleNow() { return current != nullptr && current->isVisible(); }

void CSplashWnd::HideSplashScreen() {
    CSplashWnd* splash = current;
    if (splash == nullptr) return;
    current = nullptr;
    qApp->removeEventFilter(splash);
    splash->timer_.stop();
    splash->hide();
    splash->deleteLater();
    if (splash->mainWindow_) splash->mainWindow_->update();
}

void CSplashWnd::AllowAnotherShowForTesting() {
    HideSplashScreen();
    shownOnce = false;
}

CSplashWnd::CSplashWnd(QWidget* mainWindow)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint), picture_(bitmaps::SplashPicture()),
      mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("splash"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(picture_.size());
    QScreen* screen = mainWindow != nullptr && mainWindow->screen() != nullptr ? mainWindow->screen()
                                                                                : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        QRect frame(QPoint(0, 0), picture_.size());
        frame.moveCenter(screen->geometry().center());
        move(frame.topLeft());
    }
    timer_.setSingleShot(true);
    // A coarse timer could end the splash up to 5 % early.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kShowMs);
    connect(&timer_, &QTimer::timeout, this, [] { HideSplashScreen(); });
    timer_.start();
    qApp->installEventFilter(this);
}

CSplashWnd::~CSplashWnd() {
    if (qApp != nullptr) qApp->removeEventFilter(this);
    if (current == this) current = nullptr;
}

void CSplashWnd::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.drawPixmap(0, 0, picture_);
}

bool CSplashWnd::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Claims the key, so that no menu shortcut fires for it; the key
        // press that follows hides the splash.
        event->accept();
        return true;
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonDblClick:
        HideSplashScreen();
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}
