#pragma once
// The picture shown for a moment at start-up, in a borderless window in the
// middle of the screen. It goes away after kShowMs, or at once when the
// operator presses a key or a mouse button anywhere in the program; that
// key or click is taken by the splash and reaches no other window.

#include <QPointer>
#include <QTimer>
#include <QWidget>

class CSplashWnd : public QWidget {
    Q_OBJECT

public:
    static constexpr int kShowMs = 1500;

    // Shows the splash once per run; later calls do nothing. mainWindow
    // (may be null) is repainted when the splash goes away.
    static void ShowSplashScreen(QWidget* mainWindow);
    static bool IsVisibleNow();
    // Hides and destroys the splash if it is showing.
    static void HideSplashScreen();

    // For tests only: lets the next ShowSplashScreen show the splash again.
    static void AllowAnotherShowForTesting();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit CSplashWnd(QWidget* mainWindow);
    ~CSplashWnd() override;

    QPixmap picture_;
    QPointer<QWidget> mainWindow_;
    QTimer timer_;
};
