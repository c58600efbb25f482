// SPDX-License-Identifier: Apache-2.0
#include "platform/Interrupts.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <csignal>

using namespace kivo;

TEST(Interrupts, BothSignalsArriveOnTheEventLoopInsteadOfEndingTheProcess)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        InterruptNotifier notifier;
        QSignalSpy interrupted(&notifier, &InterruptNotifier::interrupted);
        ASSERT_EQ(std::raise(signal), 0);
        EXPECT_EQ(interrupted.count(), 0) << "nothing runs inside the handler";
        ASSERT_TRUE(interrupted.wait(10000));
        EXPECT_TRUE(notifier.wasInterrupted());
    }
}
