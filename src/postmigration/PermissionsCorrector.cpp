// SPDX-License-Identifier: Apache-2.0
#include "postmigration/PermissionsCorrector.h"

#include "platform/Accounts.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/Logging.h"

#include <QDir>
#include <QJsonArray>
#include <QSet>

namespace kivo {

PermissionsCorrector::PermissionsCorrector(HelperInstaller& helper, QObject* parent) : QObject(parent), m_helper(helper) {}

PermissionsCorrector::PathsToCorrect::PathsToCorrect(const QString& homeFolder, const WrittenFiles& paths)
    : m_home(QDir::cleanPath(homeFolder)), m_paths(paths)
{
}

QStringList PermissionsCorrector::PathsToCorrect::next(qsizetype count)
{
    while (m_ready.size() < count) {
        const QStringList more = m_paths.next(&m_at, count);
        if (more.isEmpty())
            break;
        for (const QString& path : more)
            add(path);
    }
    QStringList out = m_ready.mid(0, count);
    m_ready.remove(0, out.size());
    return out;
}

void PermissionsCorrector::PathsToCorrect::add(QString path)
{
    if (path.startsWith(QLatin1String("~/")))
        path = m_home + path.mid(1);
    if (path.contains(QLatin1String("//")) || path.contains(QLatin1String("/.")) || path.endsWith(u'/'))
        path = QDir::cleanPath(path);
    if (!path.startsWith(m_home) || path.size() <= m_home.size() + 1 || path.at(m_home.size()) != u'/')
        return;
    // Folders the receive made on the way belong to the account as well,
    // each once; files come grouped by folder, so the last one is remembered.
    const QString folder = path.left(path.lastIndexOf(u'/'));
    if (folder != m_lastFolder) {
        const qsizetype before = m_ready.size();
        for (QString p = folder; p.size() > m_home.size() && !m_seen.contains(p); p.truncate(p.lastIndexOf(u'/'))) {
            m_seen.insert(p);
            m_ready.insert(before, p);
        }
        m_lastFolder = folder;
    }
    if (path.startsWith(m_home + QLatin1String("/.ssh/")))
        m_touchedSsh = true;
    m_ready.append(path);
}

QCoro::Task<void> PermissionsCorrector::correctOwnership(QString homeFolder, QString ownerUsername,
                                                         WrittenFiles transferredPaths)
{
    m_isRunning = true;
    m_report = {};
    if (m_extraPaths)
        transferredPaths.append(m_extraPaths());
    PathsToCorrect paths(homeFolder, transferredPaths);
    qCInfo(lcPermissions, "Correcting ownership for %lld paths → %s", qlonglong(transferredPaths.steps()),
           qUtf8Printable(ownerUsername));
    if (co_await m_helper.isAvailable()) {
        m_report.via = QStringLiteral("helper");
        co_await correctViaHelper(paths, ownerUsername);
        if (paths.touchedSsh()) {
            QJsonObject request{{QStringLiteral("method"), QStringLiteral("fixSSHPermissions")},
                                {QStringLiteral("homeFolder"), homeFolder},
                                {QStringLiteral("ownerUsername"), ownerUsername}};
            try {
                const QJsonObject reply = co_await m_helper.call(request);
                if (!reply.value(QStringLiteral("success")).toBool())
                    m_report.errors.append({homeFolder + QStringLiteral("/.ssh"), reply.value(QStringLiteral("error")).toString()});
            } catch (const HelperError& e) {
                m_report.errors.append({homeFolder + QStringLiteral("/.ssh"), e.description()});
            }
        }
    } else {
        qCWarning(lcPermissions, "Privileged helper not available — falling back to direct chown (may fail)");
        m_report.via = QStringLiteral("direct");
        correctDirect(homeFolder, paths, ownerUsername);
    }
    qCInfo(lcPermissions, "Ownership correction complete: %lld files, %lld errors", qlonglong(m_report.filesProcessed),
           qlonglong(m_report.errors.size()));
    m_isRunning = false;
    Q_EMIT finished(m_report);
}

QCoro::Task<void> PermissionsCorrector::correctViaHelper(PathsToCorrect& paths, QString username)
{
    for (QStringList batch = paths.next(kBatchSize); !batch.isEmpty(); batch = paths.next(kBatchSize)) {
        const qsizetype lo = m_report.totalFiles, hi = lo + batch.size();
        m_report.totalFiles = hi;
        const QString name = QStringLiteral("batch %1..%2").arg(lo).arg(hi);
        QJsonObject request{{QStringLiteral("method"), QStringLiteral("correctOwnership")},
                            {QStringLiteral("paths"), QJsonArray::fromStringList(batch)},
                            {QStringLiteral("username"), username}};
        try {
            const QJsonObject reply = co_await m_helper.call(request, m_batchTimeout);
            if (reply.value(QStringLiteral("success")).toBool()) {
                m_report.filesProcessed += hi - lo;
            } else {
                QString message = reply.value(QStringLiteral("error")).toString();
                if (message.isEmpty())
                    message = QStringLiteral("Unknown error");
                qCWarning(lcPermissions, "Helper chown batch failed: %s", qUtf8Printable(message));
                m_report.errors.append({name, message});
            }
        } catch (const HelperError& e) {
            qCWarning(lcPermissions, "Helper chown batch %lld..%lld failed: %s", qlonglong(lo), qlonglong(hi),
                      qUtf8Printable(e.description()));
            m_report.errors.append({name, e.description()});
        }
    }
}

void PermissionsCorrector::correctDirect(const QString& homeFolder, PathsToCorrect& paths, const QString& username)
{
    const std::optional<SystemAccount> account = accountNamed(username);
    std::optional<HomeBeneath> home;
    try {
        if (account)
            home.emplace(homeFolder);
    } catch (const SystemError& e) {
        m_report.errors.append({homeFolder, e.description()});
    }
    for (QStringList batch = paths.next(kBatchSize); !batch.isEmpty(); batch = paths.next(kBatchSize)) {
        m_report.totalFiles += batch.size();
        if (!home)
            continue;
        for (const QString& path : std::as_const(batch)) {
            try {
                home->changeOwner(path, account->uid, account->gid);
                ++m_report.filesProcessed;
            } catch (const SystemError& e) {
                if (fs::status(path, fs::Links::dontFollow)) // gone since it was written: nothing to hand over
                    m_report.errors.append({path, e.description()});
            }
        }
    }
    if (!account)
        m_report.errors.append({QString(), QStringLiteral("Could not resolve user ID for ") + username});
}

QCoro::Task<bool> PermissionsCorrector::setFileMode(QString path, std::uint16_t mode)
{
    // Root sets modes itself (without following links) and spares a round trip per file.
    if (effectiveUid() == 0 || !co_await m_helper.isAvailable())
        co_return false;
    // Set-id bits from another machine are never handed on.
    QJsonObject request{{QStringLiteral("method"), QStringLiteral("setFileMode")},
                        {QStringLiteral("path"), path},
                        {QStringLiteral("mode"), int(mode & 0777)}};
    try {
        const QJsonObject reply = co_await m_helper.call(request);
        co_return reply.value(QStringLiteral("success")).toBool();
    } catch (const HelperError&) {
        co_return false;
    }
}

} // namespace kivo
