#pragma once
// One QApplication for the whole test program (widgets need it, and Qt
// allows only one per process).
#include <QApplication>

inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "kiv-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);  // lives until the process ends
    return *app;
}
