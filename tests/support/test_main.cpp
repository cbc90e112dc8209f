// Test entry point: a QCoreApplication, so that sockets, timers and nested event loops work
// without a display; for window tests (VESSAMO_TEST_GUI) a QApplication, on the offscreen
// platform when none is named (test discovery runs without the test environment).
#include "support/transcript.h"

#include <gtest/gtest.h>
#ifdef VESSAMO_TEST_GUI
#include <QApplication>
using App = QApplication;
#else
#include <QCoreApplication>
using App = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    App app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    vessamo::test::printTranscriptsOnFailure();
    return RUN_ALL_TESTS();
}
