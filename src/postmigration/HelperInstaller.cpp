// SPDX-License-Identifier: Apache-2.0
#include "postmigration/HelperInstaller.h"

#include "platform/PeerCredentials.h"

#include <QCoroLocalSocket>
#include <QCoroSignal>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLoggingCategory>

#include "platform/Logging.h"

namespace kivo {
namespace {
constexpr qsizetype kMaxReplyBytes = 4 * 1024 * 1024;
}

QString HelperError::description() const
{
    switch (m_kind) {
    case Kind::operationFailed: return QStringLiteral("Helper operation failed: ") + m_message;
    case Kind::connectionFailed: return QStringLiteral("Could not connect to the privileged helper");
    case Kind::notInstalled: return QStringLiteral("Privileged helper is not installed");
    case Kind::timedOut: return QStringLiteral("Privileged helper did not respond in time");
    }
    return {};
}

HelperInstaller::HelperInstaller(QString socketPath, QObject* parent) : HelperInstaller(std::move(socketPath), Timeouts{}, parent) {}

HelperInstaller::HelperInstaller(QString socketPath, Timeouts timeouts, QObject* parent)
    : QObject(parent), m_socketPath(std::move(socketPath)), m_timeouts(timeouts)
{
}

HelperInstaller::~HelperInstaller()
{
    delete m_socket.data();
}

QString HelperInstaller::defaultSocketPath()
{
    const QString fromEnvironment = qEnvironmentVariable("KIVO_HELPER_SOCKET");
    return fromEnvironment.isEmpty() ? systemSocketPath() : fromEnvironment;
}

HelperInstaller& HelperInstaller::shared()
{
    static HelperInstaller* instance = new HelperInstaller(defaultSocketPath());
    return *instance;
}

void HelperInstaller::invalidate()
{
    if (m_socket) {
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_socket = nullptr;
    m_pending.clear();
    m_availability = Availability::unknown;
}

QCoro::Task<bool> HelperInstaller::isAvailable()
{
    if (m_availability != Availability::unknown)
        co_return m_availability == Availability::available;
    QJsonObject ping;
    ping.insert(QStringLiteral("method"), QStringLiteral("getVersion"));
    try {
        const QJsonObject reply = co_await exchange(ping, m_timeouts.ping);
        m_version = reply.value(QStringLiteral("version")).toString();
    } catch (const HelperError&) {
        m_version.clear();
    }
    if (m_version.isEmpty()) {
        invalidate();
        m_availability = Availability::unavailable;
        co_return false;
    }
    m_availability = Availability::available;
    co_return true;
}

QCoro::Task<QJsonObject> HelperInstaller::call(QJsonObject request, std::optional<std::chrono::milliseconds> timeout)
{
    if (!co_await isAvailable())
        throw HelperError(HelperError::Kind::notInstalled);
    // A connection kept from an earlier call may have been closed by the
    // daemon meanwhile (it makes room by closing idle ones): one fresh try.
    // Every method may be asked twice with the same effect.
    const bool reused = m_socket && m_socket->state() == QLocalSocket::ConnectedState;
    for (int attempt = 0;; ++attempt) {
        try {
            co_return co_await exchange(request, timeout.value_or(m_timeouts.call));
        } catch (const HelperError& e) {
            const bool stale = e.kind() == HelperError::Kind::connectionFailed && reused && attempt == 0;
            if (e.kind() == HelperError::Kind::timedOut || e.kind() == HelperError::Kind::connectionFailed) {
                invalidate();
                m_availability = stale ? Availability::available : Availability::unknown;
            }
            if (!stale)
                throw;
        }
    }
}

QCoro::Task<QJsonObject> HelperInstaller::exchange(QJsonObject request, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    // One request on the connection at a time: replies come back in order.
    while (m_busy) {
        if (deadline.hasExpired())
            throw HelperError(HelperError::Kind::timedOut);
        co_await qCoro(this, &HelperInstaller::idle, std::chrono::milliseconds(deadline.remainingTime()));
    }
    m_busy = true;
    struct Release {
        HelperInstaller* self;
        ~Release()
        {
            self->m_busy = false;
            Q_EMIT self->idle();
        }
    } release{this};

    if (!m_socket || m_socket->state() != QLocalSocket::ConnectedState) {
        delete m_socket.data();
        m_socket = new QLocalSocket(this);
        m_pending.clear();
        m_socket->connectToServer(m_socketPath);
        QPointer<QLocalSocket> socket = m_socket;
        if (socket->state() != QLocalSocket::ConnectedState
            && !co_await qCoro(socket.data()).waitForConnected(std::max<qint64>(1, deadline.remainingTime())))
            throw HelperError(HelperError::Kind::connectionFailed);
        // Only root's daemon may answer for root's work.
        const std::optional<PeerCredentials> peer = socket ? peerCredentials(socket->socketDescriptor()) : std::nullopt;
        if (!peer || peer->uid != 0) {
            qCWarning(lcHelperInstaller) << "The helper socket is not served by root";
            throw HelperError(HelperError::Kind::connectionFailed);
        }
    }
    QPointer<QLocalSocket> socket = m_socket;
    socket->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    for (;;) {
        if (!socket || socket->state() != QLocalSocket::ConnectedState) {
            if (!socket || socket->bytesAvailable() == 0)
                throw HelperError(HelperError::Kind::connectionFailed);
        }
        m_pending.append(socket->readAll());
        const qsizetype newline = m_pending.indexOf('\n');
        if (newline >= 0) {
            const QByteArray line = m_pending.left(newline);
            m_pending.remove(0, newline + 1);
            const QJsonDocument doc = QJsonDocument::fromJson(line);
            if (!doc.isObject())
                throw HelperError(HelperError::Kind::connectionFailed);
            co_return doc.object();
        }
        if (m_pending.size() > kMaxReplyBytes)
            throw HelperError(HelperError::Kind::connectionFailed);
        if (deadline.hasExpired())
            throw HelperError(HelperError::Kind::timedOut);
        if (socket->state() != QLocalSocket::ConnectedState)
            throw HelperError(HelperError::Kind::connectionFailed);
        co_await qCoro(socket.data()).waitForReadyRead(std::max<qint64>(1, deadline.remainingTime()));
    }
}

} // namespace kivo
