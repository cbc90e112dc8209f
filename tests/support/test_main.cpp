// Test entry point for engine tests: a QCoreApplication so that sockets, timers and nested
// event loops work, and no display needed.
#include "support/transcript.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    vessamo::test::printTranscriptsOnFailure();
    return RUN_ALL_TESTS();
}
