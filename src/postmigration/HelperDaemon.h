// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "postmigration/HelperService.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLocalServer>
#include <QObject>

#include <chrono>
#include <optional>

class QLocalSocket;
class QTimer;

namespace kivo {

struct HelperLimits {
    int maxConnections = 64;
    qsizetype maxLineBytes = 4 * 1024 * 1024;
    std::chrono::milliseconds lineDeadline{2000};
};

// The privileged helper's listener: one JSON request per line on a local
// socket, one reply line each, in order. Callers are vetted by the kernel's
// word on who they are before a byte of theirs is read.
class HelperDaemon : public QObject {
    Q_OBJECT
public:
    using Limits = HelperLimits;
    struct Callers {
        QList<unsigned> uids;     // beside root
        QStringList executables;  // what the caller must be running
    };

    HelperDaemon(HelperService service, Callers callers, Limits limits = {}, QObject* parent = nullptr);
    ~HelperDaemon() override;

    // Makes the socket's folder if need be, removes a stale socket, listens,
    // lets every user connect (the checks are ours).
    bool listen(const QString& socketPath, QString* error);

    // The front ends a helper in `helperDir` serves by default: the installed
    // layout's bin beside its sbin, else the programs in its own folder.
    static QStringList defaultCallers(const QString& helperDir);
    // Makes `folder` (mode 0755) when it is missing; why it may not hold the
    // socket when someone other than `owner` owns it or others may write to it.
    static std::optional<QString> prepareSocketFolder(const QString& folder, unsigned owner);

private:
    struct Connection {
        QByteArray buffer;
        QTimer* deadline = nullptr;
        QElapsedTimer idleSince;
    };

    void accept();
    void readFrom(QLocalSocket* socket);
    void drop(QLocalSocket* socket);
    bool admits(QLocalSocket* socket) const;
    // Makes room by closing the connection that has been quiet the longest; false when all are mid-request.
    bool evictIdle();

    HelperService m_service;
    Callers m_callers;
    Limits m_limits;
    QLocalServer m_server;
    QHash<QLocalSocket*, Connection> m_connections;
};

} // namespace kivo
