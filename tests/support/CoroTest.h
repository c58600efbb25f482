// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

namespace kivo::test {

struct TaskTimeout : std::runtime_error {
    TaskTimeout() : std::runtime_error("coroutine did not finish before its deadline") {}
};

namespace detail {
template <typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
};
template <>
struct Outcome<void> {
    std::exception_ptr error;
    bool done = false;
};
} // namespace detail

// Runs a coroutine in a local event loop and returns its result, rethrowing its
// exception. Past the deadline the test fails instead of hanging.
template <typename T>
T runTask(QCoro::Task<T> task, std::chrono::milliseconds deadline = std::chrono::seconds(60))
{
    auto outcome = std::make_shared<detail::Outcome<T>>();
    auto loop = std::make_shared<QEventLoop>();
    auto drive = [](QCoro::Task<T> t, std::shared_ptr<detail::Outcome<T>> out,
                    std::weak_ptr<QEventLoop> weakLoop) -> QCoro::Task<void> {
        try {
            if constexpr (std::is_void_v<T>)
                co_await std::move(t);
            else
                out->value.emplace(co_await std::move(t));
        } catch (...) {
            out->error = std::current_exception();
        }
        out->done = true;
        if (auto l = weakLoop.lock())
            l->quit();
    };
    auto running = drive(std::move(task), outcome, loop);
    if (!outcome->done) {
        QTimer::singleShot(deadline, loop.get(), [l = loop.get()] { l->quit(); });
        loop->exec();
    }
    if (!outcome->done) {
        ADD_FAILURE() << "coroutine timed out";
        throw TaskTimeout();
    }
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome->value);
}

// Spins the event loop until `condition` holds or the deadline passes.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(30))
{
    // The answer is the one seen, not a fresh one: a condition that asks the
    // outside world (a browse of the network, say) may not repeat itself at once.
    bool met = condition();
    if (met)
        return true;
    QEventLoop loop;
    QTimer poll;
    QTimer::singleShot(deadline, &loop, &QEventLoop::quit);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!met && condition()) {
            met = true;
            loop.quit();
        }
    });
    poll.start(5);
    loop.exec();
    return met;
}

// Skips outside CI; under CI=true a missing precondition is a failure.
#define KIVO_SKIP_OR_FAIL(reason)                                          \
    do {                                                                   \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))           \
            GTEST_FAIL() << "precondition missing under CI: " << (reason); \
        GTEST_SKIP() << (reason);                                          \
    } while (0)

} // namespace kivo::test
