#include <QCoreApplication>
#include <gtest/gtest.h>

#include "platform/Logging.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    kivo::installLogging();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
