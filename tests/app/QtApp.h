#pragma once
// One QApplication for the test program, never destroyed: the console lives as long as the process.
#include <QApplication>

inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "kiv-test", *argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
