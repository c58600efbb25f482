// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>

class QLocalSocket;

namespace kivo {

class HelperError : public Error {
public:
    enum class Kind { operationFailed, connectionFailed, notInstalled, timedOut };
    explicit HelperError(Kind kind, QString message = {}) : m_kind(kind), m_message(std::move(message)) {}
    Kind kind() const { return m_kind; }
    QString description() const override;

private:
    Kind m_kind;
    QString m_message;
};

// The client of the privileged helper: one connection, one request at a time,
// every call with a deadline. The daemon must run as root, or it is not ours.
class HelperInstaller : public QObject {
    Q_OBJECT
public:
    enum class Availability { unknown, available, unavailable };
    struct Timeouts {
        std::chrono::milliseconds ping{500};
        std::chrono::milliseconds call{5000};
    };

    explicit HelperInstaller(QString socketPath, QObject* parent = nullptr);
    HelperInstaller(QString socketPath, Timeouts timeouts, QObject* parent = nullptr);
    ~HelperInstaller() override;

    // The instance the program uses: $KIVO_HELPER_SOCKET, else /run/kivo/helper.sock.
    static HelperInstaller& shared();
    static QString defaultSocketPath();
    // Where the system's helper listens, the folder its service unit makes.
    static QString systemSocketPath() { return QStringLiteral("/run/kivo/helper.sock"); }

    const QString& socketPath() const { return m_socketPath; }
    Availability availability() const { return m_availability; }

    // Whether a root helper answers getVersion (asked once until invalidate()).
    QCoro::Task<bool> isAvailable();
    // The version it gave; empty until it answered.
    const QString& version() const { return m_version; }
    // Sends one request and awaits its reply. Throws HelperError.
    QCoro::Task<QJsonObject> call(QJsonObject request, std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    void invalidate();

Q_SIGNALS:
    void idle();

private:
    QCoro::Task<QJsonObject> exchange(QJsonObject request, std::chrono::milliseconds timeout);

    QString m_socketPath;
    Timeouts m_timeouts;
    Availability m_availability = Availability::unknown;
    QString m_version;
    QPointer<QLocalSocket> m_socket;
    QByteArray m_pending;
    bool m_busy = false;
};

} // namespace kivo
