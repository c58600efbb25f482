// SPDX-License-Identifier: Apache-2.0
#include "platform/Interrupts.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kivo {

namespace {

// The handler may only touch async-signal-safe things: one write to the pipe.
volatile std::sig_atomic_t g_writeFd = -1;

void onSignal(int)
{
    const int fd = g_writeFd;
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
}

struct sigaction g_previousInt;
struct sigaction g_previousTerm;

} // namespace

InterruptNotifier::InterruptNotifier(QObject* parent) : QObject(parent)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError(QStringLiteral("Cannot watch for interrupts: %1").arg(fs::lastErrorText()));
    m_readEnd = UniqueFd(ends[0]);
    m_writeEnd = UniqueFd(ends[1]);
    g_writeFd = m_writeEnd.get();

    m_notifier = new QSocketNotifier(m_readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptNotifier::drain);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &g_previousInt);
    ::sigaction(SIGTERM, &action, &g_previousTerm);
}

InterruptNotifier::~InterruptNotifier()
{
    ::sigaction(SIGINT, &g_previousInt, nullptr);
    ::sigaction(SIGTERM, &g_previousTerm, nullptr);
    g_writeFd = -1;
}

void InterruptNotifier::drain()
{
    char buffer[64];
    while (::read(m_readEnd.get(), buffer, sizeof buffer) > 0) {
    }
    m_interrupted = true;
    Q_EMIT interrupted();
}

} // namespace kivo
