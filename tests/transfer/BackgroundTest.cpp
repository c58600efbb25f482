// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "transfer/Background.h"

#include <QList>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace kivo;

// A list handed back from the pool is the caller's alone, though the future is
// still alive elsewhere: changing it must not copy it. Errors still come back.
TEST(Background, AResultIsTakenNotSharedWithItsFuture)
{
    QFuture<BackgroundOutcome<QList<int>>> work = startInBackground([] { return QList<int>(100000, 7); });
    const QFuture<BackgroundOutcome<QList<int>>> stillHeld = work;
    QList<int> taken = test::runTask(finishInBackground(std::move(work)));
    ASSERT_EQ(taken.size(), 100000);
    EXPECT_TRUE(taken.isDetached()) << "shared with the future: the first change would copy the whole list";

    QFuture<int> plain = QtConcurrent::run([] { return 5; });
    EXPECT_EQ(test::runTask(takeWhenFinished(plain)), 5);

    QFuture<BackgroundOutcome<int>> failing = startInBackground([]() -> int { throw std::runtime_error("no"); });
    EXPECT_THROW(test::runTask(finishInBackground(std::move(failing))), std::runtime_error);
}
