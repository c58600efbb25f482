// SPDX-License-Identifier: Apache-2.0
#include "postmigration/HelperDaemon.h"

#include "platform/Accounts.h"
#include "platform/PeerCredentials.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QTimer>

#include "platform/Logging.h"

namespace kivo {

HelperDaemon::HelperDaemon(HelperService service, Callers callers, Limits limits, QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_callers(std::move(callers)), m_limits(limits)
{
    m_server.setMaxPendingConnections(m_limits.maxConnections);
    connect(&m_server, &QLocalServer::newConnection, this, &HelperDaemon::accept);
}

HelperDaemon::~HelperDaemon() = default;

QStringList HelperDaemon::defaultCallers(const QString& helperDir)
{
    const QString dir = QDir::cleanPath(helperDir);
    const QString installedSbin = QFileInfo(QStringLiteral(KIVO_FULL_SBINDIR)).fileName();
    const QString programs = QFileInfo(dir).fileName() == installedSbin ? QDir::cleanPath(dir + QStringLiteral("/" KIVO_SBIN_TO_BIN)) : dir;
    return {programs + QStringLiteral("/kivo-cli"), programs + QStringLiteral("/kivo")};
}

std::optional<QString> HelperDaemon::prepareSocketFolder(const QString& folder, unsigned owner)
{
    QFileInfo info(folder);
    if (!info.exists() && !info.isSymLink()) {
        const QString parent = info.absolutePath();
        if (!QDir().mkpath(parent))
            return QStringLiteral("cannot make %1").arg(parent);
        // The mode is set, not left to the umask: callers of every account must reach the socket.
        if (!QDir().mkdir(folder)
            || !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther))
            return QStringLiteral("cannot make %1").arg(folder);
        info.refresh();
    }
    if (info.isSymLink() || !info.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (info.ownerId() != owner)
        return QStringLiteral("%1 belongs to uid %2, not %3").arg(folder).arg(info.ownerId()).arg(owner);
    if (info.permissions() & (QFile::WriteGroup | QFile::WriteOther))
        return QStringLiteral("%1 may be written by others than its owner").arg(folder);
    return std::nullopt;
}

bool HelperDaemon::listen(const QString& socketPath, QString* error)
{
    // Whoever may write the folder could swap the socket for their own.
    if (const std::optional<QString> problem = prepareSocketFolder(QFileInfo(socketPath).absolutePath(), effectiveUid())) {
        *error = *problem;
        return false;
    }
    QLocalServer::removeServer(socketPath);
    m_server.setSocketOptions(QLocalServer::WorldAccessOption);
    if (!m_server.listen(socketPath)) {
        *error = m_server.errorString();
        return false;
    }
    return true;
}

bool HelperDaemon::admits(QLocalSocket* socket) const
{
    const std::optional<PeerCredentials> peer = peerCredentials(socket->socketDescriptor());
    if (!peer)
        return false;
    if (peer->uid != 0 && !m_callers.uids.contains(peer->uid))
        return false;
    return runsTrustedExecutable(peer->pid, m_callers.executables);
}

bool HelperDaemon::evictIdle()
{
    QLocalSocket* quietest = nullptr;
    qint64 longest = -1;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        if (!it->buffer.isEmpty())
            continue;
        const qint64 idle = it->idleSince.elapsed();
        if (idle > longest) {
            longest = idle;
            quietest = it.key();
        }
    }
    if (!quietest)
        return false;
    drop(quietest);
    return true;
}

void HelperDaemon::accept()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        if (!admits(socket)) {
            qCWarning(lcHelperInstaller) << "Refused a caller";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (m_connections.size() >= m_limits.maxConnections && !evictIdle()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        Connection& c = m_connections[socket];
        c.idleSince.start();
        c.deadline = new QTimer(socket);
        c.deadline->setSingleShot(true);
        c.deadline->setInterval(m_limits.lineDeadline);
        connect(c.deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void HelperDaemon::drop(QLocalSocket* socket)
{
    if (!m_connections.remove(socket))
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void HelperDaemon::readFrom(QLocalSocket* socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    while (socket->bytesAvailable() > 0) {
        // Never more than one line's worth of room, whatever the caller sends.
        const qint64 room = m_limits.maxLineBytes + 1 - it->buffer.size();
        it->buffer.append(socket->read(std::min<qint64>(room, 256 * 1024)));
        qsizetype newline;
        while ((newline = it->buffer.indexOf('\n')) >= 0) {
            it->deadline->stop(); // the next line, if started, gets its own time
            const QByteArray line = it->buffer.left(newline);
            it->buffer.remove(0, newline + 1);
            QJsonParseError parseError{};
            const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
            QJsonObject reply;
            if (parseError.error != QJsonParseError::NoError || !doc.isObject())
                reply = {{QStringLiteral("success"), false}, {QStringLiteral("error"), QStringLiteral("malformed request")}};
            else
                reply = m_service.handle(doc.object());
            socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
            // A caller that does not read its replies does not get to pile them up here.
            if (socket->bytesToWrite() > m_limits.maxLineBytes) {
                drop(socket);
                return;
            }
            it = m_connections.find(socket);
            if (it == m_connections.end())
                return;
        }
        if (it->buffer.size() > m_limits.maxLineBytes) {
            qCWarning(lcHelperInstaller) << "Dropped a caller whose request was too long";
            drop(socket);
            return;
        }
    }
    if (it->buffer.isEmpty()) {
        it->deadline->stop();
        it->idleSince.restart();
    } else if (!it->deadline->isActive()) {
        it->deadline->start(); // a started line has this long to end
    }
}

} // namespace kivo
