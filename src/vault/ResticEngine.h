// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/ChildProcess.h"
#include "vault/ResticOutput.h"
#include "vault/VaultCredentials.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace kivo {

// Where a vault is and what opens it. The password and the store's keys only
// ever travel in the child's environment.
struct VaultAccess {
    QString repository; // a folder, or "s3:https://..."
    QString password;
    QString keyHint;             // the engine's key the password opens, tried first
    std::optional<AwsKeys> keys; // an object store's
    QString region;
    QString cacheFolder{}; // the engine's cache; empty: it keeps none
    bool isObjectStore() const { return repository.startsWith(QLatin1String("s3:")); }
};

// The snapshot engine, run as a child process per call.
class ResticEngine {
public:
    static constexpr int kMinimumMajor = 0;
    static constexpr int kMinimumMinor = 14;

    // KIVO_RESTIC, else restic on PATH; throws VaultError(noEngine) when it is
    // missing, does not run, or is older than 0.14.
    static ResticEngine locate();

    const QString& program() const { return m_program; }
    restic::Version version() const { return m_version; }

    // The command line of one call: never the password, which goes by environment.
    static QStringList argumentsFor(const VaultAccess& access, const QStringList& command);
    // The variables the child gets on top of ours.
    static QMap<QString, QString> environmentFor(const VaultAccess& access);

    struct Call {
        QStringList command;
        std::chrono::milliseconds deadline{std::chrono::seconds(60)};
        QString workingDirectory;
        LineHandler onLine;
        std::function<void()> tick;
    };
    // Whether a repository is there: a folder's config file, or the store's answer
    // (throws when the store does not answer or the password is wrong).
    bool hasRepository(const VaultAccess& access) const;
    // Runs one call; throws VaultError with the engine's reason when it fails.
    void run(const VaultAccess& access, const Call& call) const;
    // Runs one call and returns its whole standard output (small outputs only).
    QByteArray output(const VaultAccess& access, const QStringList& command,
                      std::chrono::milliseconds deadline = std::chrono::seconds(60)) const;

private:
    ResticEngine(QString program, restic::Version version) : m_program(std::move(program)), m_version(version) {}
    QString m_program;
    restic::Version m_version;
};

} // namespace kivo
