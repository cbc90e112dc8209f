// Test entry point for engine tests: a QCoreApplication so that sockets, timers and nested
// event loops work, and no display needed.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
