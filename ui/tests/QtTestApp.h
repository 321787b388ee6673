#pragma once
// The one QApplication of a test process, on the offscreen platform so that
// widget tests need no display. Every widget test calls QtTestApp() first.

#include <QApplication>

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
