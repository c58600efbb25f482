// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/VaultError.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// Reading what the snapshot engine prints: its version, its --json lines and its errors.
namespace kivo::restic {

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
    bool atLeast(int wantedMajor, int wantedMinor) const
    {
        return major != wantedMajor ? major > wantedMajor : minor >= wantedMinor;
    }
};

// "restic 0.14.0 compiled with go1.19.8 on linux/amd64"; nothing for anything else.
std::optional<Version> parseVersion(const QByteArray& output);

// One line of `backup --json`: a status while it runs, the summary at the end.
struct BackupLine {
    enum class Type { status, summary, other };
    Type type = Type::other;
    std::uint64_t files = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t bytes = 0;
    std::uint64_t totalBytes = 0;
    std::optional<double> secondsRemaining;
    QString currentFile;
    QString snapshotID;         // summary
    std::uint64_t dataAdded = 0; // summary: bytes the repository grew by
};
BackupLine parseBackupLine(const QByteArray& line);

struct Snapshot {
    QString id;
    QDateTime time;
    QString hostname;
    QString username;
    QStringList paths;
    QStringList tags;
};
// The output of `snapshots --json`; throws VaultError(failed) when it is not that.
QList<Snapshot> parseSnapshots(const QByteArray& json);

// Tags carry key=value pairs; values are escaped so no comma (the engine's list
// separator) or other odd byte can reach it.
QString tag(const QString& key, const QString& value);
// The pairs among `tags`, unescaped; tags without "=" are left out.
QMap<QString, QString> tagValues(const QStringList& tags);

// What the engine's standard error says went wrong.
// True once standard error shows a failure that retrying cannot mend (a bucket
// over its quota), so the engine's own minute of retries need not be waited out.
bool isHopeless(const QByteArray& standardError);
VaultErrorKind classifyError(const QByteArray& standardError);
// The line of standard error worth showing: the fatal one, else the first.
QString errorReason(const QByteArray& standardError);
// What a person is told: the engine's reason, said plainly for a store that
// cannot be reached, a bucket over its quota, or keys the store refused.
QString describeError(const QByteArray& standardError);

} // namespace kivo::restic
