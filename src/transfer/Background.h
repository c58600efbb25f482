// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QCoroFuture>
#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent>

#include <exception>
#include <optional>
#include <type_traits>

namespace kivo {

// The result of work done on a pool thread, with whatever it threw.
template <typename R>
struct BackgroundOutcome {
    std::optional<R> value;
    std::exception_ptr error;
};
template <>
struct BackgroundOutcome<void> {
    std::exception_ptr error;
};

// Starts `work` on a pool thread. The future may be dropped unawaited: the work
// then finishes on its own and its result is discarded.
template <typename F>
auto startInBackground(F work, QThreadPool* pool = QThreadPool::globalInstance())
    -> QFuture<BackgroundOutcome<std::invoke_result_t<F>>>
{
    using R = std::invoke_result_t<F>;
    return QtConcurrent::run(pool, [work = std::move(work)]() mutable -> BackgroundOutcome<R> {
        try {
            if constexpr (std::is_void_v<R>) {
                work();
                return BackgroundOutcome<void>{nullptr};
            } else {
                return BackgroundOutcome<R>{work(), nullptr};
            }
        } catch (...) {
            if constexpr (std::is_void_v<R>)
                return BackgroundOutcome<void>{std::current_exception()};
            else
                return BackgroundOutcome<R>{std::nullopt, std::current_exception()};
        }
    });
}

// The result of a future once it is finished, taken out of it. What co_await
// hands back is a copy that shares its data with the future's, and the future
// lives on in its watcher until the event loop deletes that: the first change
// to a large list would then copy it whole.
template <typename T>
QCoro::Task<T> takeWhenFinished(QFuture<T> future)
{
    co_await future;
    co_return future.takeResult();
}

// Waits for a started piece of work and rethrows its exception on the caller's thread.
template <typename R>
QCoro::Task<R> finishInBackground(QFuture<BackgroundOutcome<R>> future)
{
    BackgroundOutcome<R> out = co_await takeWhenFinished(std::move(future));
    if (out.error)
        std::rethrow_exception(out.error);
    if constexpr (!std::is_void_v<R>)
        co_return std::move(*out.value);
}

template <typename F>
auto runInBackground(F work, QThreadPool* pool = QThreadPool::globalInstance())
    -> QCoro::Task<std::invoke_result_t<F>>
{
    return finishInBackground(startInBackground(std::move(work), pool));
}

} // namespace kivo
