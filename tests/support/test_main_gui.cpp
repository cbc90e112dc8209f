// Test entry point for window tests. Test discovery runs the binary without the test
// environment, so fall back to the offscreen platform when no platform is named.
#include "support/transcript.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    vessamo::test::printTranscriptsOnFailure();
    return RUN_ALL_TESTS();
}
