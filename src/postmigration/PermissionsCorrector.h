// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "postmigration/HelperInstaller.h"
#include "transfer/DestinationTransfer.h"

#include <QObject>
#include <QSet>

#include <chrono>
#include <functional>
#include <utility>

namespace kivo {

// How one ownership run went, for the screens and the command line.
struct OwnershipReport {
    QString via; // "helper" or "direct"
    qsizetype filesProcessed = 0;
    qsizetype totalFiles = 0;
    QList<std::pair<QString, QString>> errors; // (path or batch, reason)
};

// Hands what a receive wrote to the destination account: through the
// privileged helper in batches when it answers, else directly (which works
// only where this process has the rights). Never follows a link either way.
class PermissionsCorrector : public QObject, public OwnershipCorrector {
    Q_OBJECT
public:
    static constexpr qsizetype kBatchSize = 500;

    explicit PermissionsCorrector(HelperInstaller& helper, QObject* parent = nullptr);

    // More paths to hand over with the transferred ones (staged files, kivo's own folders).
    void setExtraPaths(std::function<QStringList()> extra) { m_extraPaths = std::move(extra); }
    void setBatchTimeout(std::chrono::milliseconds timeout) { m_batchTimeout = timeout; }

    QCoro::Task<void> correctOwnership(QString homeFolder, QString ownerUsername, WrittenFiles transferredPaths) override;
    QCoro::Task<bool> setFileMode(QString path, std::uint16_t mode) override;

    bool isRunning() const { return m_isRunning; }
    const OwnershipReport& report() const { return m_report; }

    // The paths handed over for a home: those inside it, with the folders
    // between them and the home, each once, parents first. Walked a batch at a
    // time, so that a hundred thousand paths are never listed at once.
    class PathsToCorrect {
    public:
        PathsToCorrect(const QString& homeFolder, const WrittenFiles& paths);
        // At most `count` more; empty at the end.
        QStringList next(qsizetype count);
        // Whether any path given so far lies in the home's .ssh folder, whose modes the helper fixes after.
        bool touchedSsh() const { return m_touchedSsh; }

    private:
        void add(QString path);

        QString m_home;
        const WrittenFiles& m_paths;
        qsizetype m_at = 0;
        QStringList m_ready;
        QSet<QString> m_seen;
        QString m_lastFolder;
        bool m_touchedSsh = false;
    };

Q_SIGNALS:
    void finished(kivo::OwnershipReport report);

private:
    QCoro::Task<void> correctViaHelper(PathsToCorrect& paths, QString username);
    void correctDirect(const QString& homeFolder, PathsToCorrect& paths, const QString& username);

    HelperInstaller& m_helper;
    std::function<QStringList()> m_extraPaths;
    std::chrono::milliseconds m_batchTimeout{30000};
    bool m_isRunning = false;
    OwnershipReport m_report;
};

} // namespace kivo
