#pragma once
// The one QApplication of a test process, on the offscreen platform so that
// widget tests need no display. Every widget test calls QtTestApp() first.

#include <QApplication>
#include <QDir>

#include <gtest/gtest.h>

inline QApplication& QtTestApp() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// The folder VOK_SCREENSHOT_DIR names for the picture tests, made when
// missing and with the application up; empty when it is not set (the
// picture tests then skip).
inline QString ScreenshotFolder() {
    const QString folder = qEnvironmentVariable("VOK_SCREENSHOT_DIR");
    if (folder.isEmpty()) return {};
    QtTestApp();
    if (!QDir().mkpath(folder)) ADD_FAILURE() << "cannot make " << folder.toStdString();
    return folder;
}
