#include "ui/OperatorProgram.h"

// Qt's headers make "signals" a keyword; the platform's namespace of that
// name is reached through an alias taken before them.
#include "platform/Signals.h"
namespace termination = signals;

#include "opc/OPCS_App.h"
#include "ui/CMainFrame.h"
#include "ui/CSplashWnd.h"
#include "ui/QtPosting.h"
#include "ui/QtUiServices.h"

#include <QApplication>
#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

// Turns a terminate request into a close of the window, on the GUI thread.
class TerminationWatch {
public:
    explicit TerminationWatch(QMainWindow* window) : window_(window) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                if (!termination::WaitForTermination(200)) continue;
                QMetaObject::invokeMethod(qApp, [window = window_] {
                    if (window) window->close();
                }, Qt::QueuedConnection);
            }
        });
    }
    ~TerminationWatch() {
        stop_.store(true);
        thread_.join();
    }

private:
    QPointer<QMainWindow> window_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

int RunOperatorProgram(int argc, char** argv, const std::vector<std::string>& args) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(kApplicationTitle);
    QtUiServices ui;
    QtPosting posting;
    OPCS_App app;
    if (const auto status = app.InitInstance(args)) return *status;
    OPCS_Doc* doc = app.GetDocument();
    StartPollingWhenAsked(app);
    int status = 0;
    {
        CMainFrame frame(*doc, ProgramSettings(), posting);
        if (app.GetCommandLine().showSplash) CSplashWnd::ShowSplashScreen(&frame);
        if (app.GetCommandLine().ShowMinimized()) {
            frame.showMinimized();
        } else if (app.GetCommandLine().ShowMaximized()) {
            frame.showMaximized();
        } else {
            frame.show();
        }
        TerminationWatch watch(&frame);
        PrintServingLine(app);
        status = qapp.exec();
    }
    const int exitStatus = app.ExitInstance();
    return status != 0 ? status : exitStatus;
}
