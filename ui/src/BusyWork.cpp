#include "ui/BusyWork.h"

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QWidget>

#include <atomic>
#include <thread>

namespace busywork {

namespace {
thread_local bool t_workThread = false;
}  // namespace

bool OnWorkThread() { return t_workThread; }

void Run(QWidget* parent, const std::function<void()>& work) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // Input to the window waits; painting and timers go on.
    if (parent != nullptr) parent->setEnabled(false);
    QEventLoop loop;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        t_workThread = true;
        work();
        done.store(true);
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    if (!done.load()) loop.exec();
    worker.join();
    if (parent != nullptr) parent->setEnabled(true);
    QApplication::restoreOverrideCursor();
}

}  // namespace busywork
