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

QStringList PermissionsCorrector::pathsToCorrect(const QString& homeFolder, const QStringList& paths)
{
    const QString home = QDir::cleanPath(homeFolder);
    QStringList out;
    out.reserve(paths.size());
    QSet<QString> seen;
    QString lastFolder;
    for (QString path : paths) {
        if (path.startsWith(QLatin1String("~/")))
            path = home + path.mid(1);
        if (path.contains(QLatin1String("//")) || path.contains(QLatin1String("/.")) || path.endsWith(u'/'))
            path = QDir::cleanPath(path);
        if (!path.startsWith(home) || path.size() <= home.size() + 1 || path.at(home.size()) != u'/')
            continue;
        // Folders the receive made on the way belong to the account as well,
        // each once; files come grouped by folder, so the last one is remembered.
        const QString folder = path.left(path.lastIndexOf(u'/'));
        if (folder != lastFolder) {
            const qsizetype before = out.size();
            for (QString p = folder; p.size() > home.size() && !seen.contains(p); p.truncate(p.lastIndexOf(u'/'))) {
                seen.insert(p);
                out.insert(before, p);
            }
            lastFolder = folder;
        }
        out.append(path);
    }
    return out;
}

QList<std::pair<qsizetype, qsizetype>> PermissionsCorrector::batches(qsizetype count, qsizetype size)
{
    QList<std::pair<qsizetype, qsizetype>> out;
    for (qsizetype lo = 0; lo < count; lo += size)
        out.append({lo, std::min(count, lo + size)});
    return out;
}

QCoro::Task<void> PermissionsCorrector::correctOwnership(QString homeFolder, QString ownerUsername,
                                                         QStringList transferredPaths)
{
    m_isRunning = true;
    m_report = {};
    if (m_extraPaths)
        transferredPaths += m_extraPaths();
    const QStringList paths = pathsToCorrect(homeFolder, transferredPaths);
    m_report.totalFiles = paths.size();
    qCInfo(lcPermissions, "Correcting ownership for %lld paths → %s", qlonglong(paths.size()), qUtf8Printable(ownerUsername));
    if (co_await m_helper.isAvailable()) {
        m_report.via = QStringLiteral("helper");
        co_await correctViaHelper(paths, ownerUsername);
        const bool touchedSsh = std::any_of(paths.cbegin(), paths.cend(), [&](const QString& p) {
            return p.startsWith(QDir::cleanPath(homeFolder) + QStringLiteral("/.ssh/"));
        });
        if (touchedSsh) {
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

QCoro::Task<void> PermissionsCorrector::correctViaHelper(QStringList paths, QString username)
{
    for (const auto& [lo, hi] : batches(paths.size())) {
        const QString name = QStringLiteral("batch %1..%2").arg(lo).arg(hi);
        QJsonObject request{{QStringLiteral("method"), QStringLiteral("correctOwnership")},
                            {QStringLiteral("paths"), QJsonArray::fromStringList(paths.mid(lo, hi - lo))},
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

void PermissionsCorrector::correctDirect(const QString& homeFolder, const QStringList& paths, const QString& username)
{
    const std::optional<SystemAccount> account = accountNamed(username);
    if (!account) {
        m_report.errors.append({QString(), QStringLiteral("Could not resolve user ID for ") + username});
        return;
    }
    std::optional<HomeBeneath> home;
    try {
        home.emplace(homeFolder);
    } catch (const SystemError& e) {
        m_report.errors.append({homeFolder, e.description()});
        return;
    }
    for (const QString& path : paths) {
        try {
            home->changeOwner(path, account->uid, account->gid);
            ++m_report.filesProcessed;
        } catch (const SystemError& e) {
            if (fs::status(path, fs::Links::dontFollow)) // gone since it was written: nothing to hand over
                m_report.errors.append({path, e.description()});
        }
    }
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
