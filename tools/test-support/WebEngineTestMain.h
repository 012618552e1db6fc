#pragma once

#include "XvfbServer.h"

#include <QApplication>
#include <QtTest>

#include <cstdio>

// main() of a test that shows Qt WebEngine pages: a private X server, and the web engine's renderer
// without its sandbox (tests may run as root) and without a GPU.
template <typename Test>
int runWebEngineTest(int argc, char** argv) {
    XvfbServer display;
    const QString failure = display.start();
    if (!failure.isEmpty()) {
        std::printf("FAIL: %s\n", qPrintable(failure));
        return 1;
    }
    qputenv("DISPLAY", display.displayName().toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
