// SPDX-License-Identifier: Apache-2.0
#include "vault/SnapshotStaging.h"

#include "platform/FileSystem.h"
#include "platform/SmallFiles.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace kivo {

namespace {

bool isSafeName(const QString& name)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return safe.match(name).hasMatch();
}

} // namespace

QString vaultStagingFolder(const QString& home, const QString& snapshotID)
{
    if (!isSafeName(snapshotID))
        throw VaultError(VaultErrorKind::unknownSnapshot, QStringLiteral("\"%1\" cannot name a snapshot").arg(snapshotID));
    return QDir(kivoDataFolder(home)).filePath(QStringLiteral("from-vault/") + snapshotID);
}

const VaultSnapshot& pickMigrationSnapshot(const QList<VaultSnapshot>& snapshots, const QString& name)
{
    QList<VaultSnapshot> homes;
    for (const VaultSnapshot& s : snapshots)
        if (s.kind == QLatin1String("source") || (name != QLatin1String("latest") && s.kind == QLatin1String("manual")))
            homes << s;
    const VaultSnapshot& picked = pickSnapshot(homes, name);
    for (const VaultSnapshot& s : snapshots)
        if (s.id == picked.id)
            return s;
    return snapshots.first(); // not reached: the pick is one of them
}

QString SnapshotStaging::tree() const { return QDir(m_folder).filePath(QStringLiteral("home")); }

QString SnapshotStaging::marker(const QString& category) const
{
    return QDir(m_folder).filePath(category + QStringLiteral(".staged"));
}

bool SnapshotStaging::isStaged(const QString& category) const
{
    return isSafeName(category) && QFileInfo::exists(marker(category));
}

QString SnapshotStaging::transferID(const QString& fresh) const
{
    const QString path = QDir(m_folder).filePath(QStringLiteral("transfer-id"));
    if (const auto kept = fs::readRegularFile(path, 256)) {
        const QString id = QString::fromUtf8(*kept).trimmed();
        if (isSafeName(id))
            return id;
    }
    if (!QDir().mkpath(m_folder))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("cannot create the staging folder %1").arg(m_folder));
    fs::writeFileAtomically(path, fresh.toUtf8());
    return fresh;
}

void SnapshotStaging::stage(const SnapshotVault& vault, const VaultSnapshot& snapshot, const VaultProgressHandler& progress) const
{
    VaultSnapshot missing = snapshot;
    missing.categories.clear();
    for (const CategorySnapshot& c : snapshot.categories) {
        if (!isSafeName(c.category))
            throw VaultError(VaultErrorKind::failed, QStringLiteral("the snapshot names an odd category \"%1\"").arg(c.category));
        if (!isStaged(c.category))
            missing.categories << c;
    }
    if (missing.categories.isEmpty())
        return;
    if (!QDir().mkpath(tree()))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("cannot create the staging folder %1").arg(tree()));
    try {
        // A category cut short is restored again whole: the engine writes each file afresh.
        vault.restore(missing, std::nullopt, tree(), progress,
                      [this](const QString& category) { fs::writeFileAtomically(marker(category), QByteArray()); });
    } catch (const VaultError& e) {
        if (e.kind() == VaultErrorKind::unknownSnapshot)
            throw VaultError(VaultErrorKind::snapshotGone,
                             QStringLiteral("snapshot %1 was forgotten while it was being restored (%2)").arg(snapshot.id, e.message()));
        throw;
    }
}

void SnapshotStaging::remove() const
{
    // Folders restored read-only would keep what is in them.
    for (QDirIterator it(m_folder, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString folder = it.next();
        QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QDir(m_folder).removeRecursively();
}

} // namespace kivo
