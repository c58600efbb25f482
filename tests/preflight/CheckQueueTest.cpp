// SPDX-License-Identifier: Apache-2.0
#include "preflight/CheckQueue.h"

#include <QSemaphore>

#include <gtest/gtest.h>

#include <thread>

using namespace kivo;

// However many checks a walk finds, no more than the capacity are held at a
// time: the one submitting waits for room. Counted, never timed.
TEST(CheckQueue, HoldsNoMoreThanItsCapacityAndRunsEveryCheck)
{
    constexpr int kChecks = 20;
    constexpr int kCapacity = 3;
    std::atomic<bool> cancelled{false};
    std::atomic<int> submitted{0}, finished{0}, ran{0};
    QSemaphore gate, started;
    CheckQueue queue(2, kCapacity, cancelled);
    std::thread walker([&] {
        for (int i = 0; i < kChecks; ++i) {
            queue.submit([&] {
                started.release();
                gate.acquire();
                ++ran;
                ++finished;
            });
            ++submitted;
        }
    });
    started.acquire(2); // both threads busy at once
    for (int i = 0; i < kChecks; ++i) {
        const int s = submitted; // read before `finished`: the difference can only be overstated
        const int f = finished;
        EXPECT_LE(s - f, kCapacity) << "with " << i << " checks done";
        gate.release();
        if (i + 2 < kChecks)
            started.acquire();
    }
    walker.join();
    queue.wait();
    EXPECT_EQ(ran, kChecks);
    EXPECT_LE(queue.peakInFlight(), kCapacity);
    EXPECT_GE(queue.peakInFlight(), 2); // side by side, not one after the other
}

// Cancelling drops what waits in the queue and refuses what comes after; the
// check already running finishes on its own.
TEST(CheckQueue, ACancelledQueueDropsWaitingChecksAndTakesNoMore)
{
    std::atomic<bool> cancelled{false};
    std::atomic<int> ran{0};
    QSemaphore gate, started;
    CheckQueue queue(1, 4, cancelled);
    ASSERT_TRUE(queue.submit([&] {
        started.release();
        gate.acquire();
        ++ran;
    }));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(queue.submit([&] { ++ran; }));
    started.acquire();
    cancelled = true;
    EXPECT_FALSE(queue.submit([&] { ++ran; }));
    gate.release();
    queue.wait();
    EXPECT_EQ(ran, 1);
}
