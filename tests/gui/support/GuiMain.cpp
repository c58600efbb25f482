// SPDX-License-Identifier: Apache-2.0
#include <QGuiApplication>
#include <gtest/gtest.h>

#include "platform/Logging.h"
#include "platform/ProcessSetup.h"

// The screens need a GUI application; they render offscreen with the software
// renderer, so the tests need no display and draw the same everywhere.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QT_ACCESSIBILITY", "1");
    kivo::prepareProcess();
    QGuiApplication app(argc, argv);
    kivo::installLogging();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
