// SPDX-License-Identifier: Apache-2.0
#include "vault/PreChangeSnapshot.h"

#include "platform/Dconf.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/SmallFiles.h"
#include "vault/SecretsRecord.h"
#include "vault/SettingsRecord.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QSet>

#include <algorithm>

namespace kivo {

namespace {

constexpr qint64 kMaxRecordBytes = 256 * 1024 * 1024;

bool isSafeName(const QString& name)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return safe.match(name).hasMatch();
}

} // namespace

QList<QPair<QString, QStringList>> sortWrites(const QString& home, const EachWrite& writes, const EntrySink& touched)
{
    QList<QPair<QString, QStringList>> replaced;
    const QString cleanHome = QDir::cleanPath(home);
    const QString root = cleanHome + u'/';
    const QString own = kivoDataFolder(cleanHome) + u'/';
    // Folders already noted: far fewer than files, and each is walked up only once.
    QSet<QString> folders;
    writes([&](const QString& destination, const QString& category, bool isFolder) {
        const QString clean = QDir::cleanPath(destination);
        if (!clean.startsWith(root) || (clean + u'/').startsWith(own))
            return;
        const QString relative = clean.mid(root.size());
        for (QString folder = isFolder ? relative : QFileInfo(relative).path(); !folders.contains(folder);
             folder = folder == u'.' ? folder : QFileInfo(folder).path()) {
            folders.insert(folder);
            const auto state = PathState::of(folder == u'.' ? cleanHome : root + folder);
            touched({state ? ChangeEntry::Kind::folderTouched : ChangeEntry::Kind::folderCreated, category, folder, state, false, std::nullopt});
        }
        if (isFolder)
            return;
        const auto state = PathState::of(clean);
        touched({state ? ChangeEntry::Kind::replaced : ChangeEntry::Kind::created, category, relative, state, false, std::nullopt});
        if (!state)
            return;
        auto it = std::find_if(replaced.begin(), replaced.end(), [&](const auto& c) { return c.first == category; });
        if (it == replaced.end()) {
            replaced.append({category, {}});
            it = replaced.end() - 1;
        }
        it->second << relative;
    });
    return replaced;
}

QJsonObject ChangeRecord::toJson() const
{
    return {{QStringLiteral("transferID"), transferID},
            {QStringLiteral("migrationID"), migrationID},
            {QStringLiteral("snapshotID"), snapshotID},
            {QStringLiteral("time"), json::formatDate(time)},
            {QStringLiteral("created"), double(created)},
            {QStringLiteral("settings"), settings},
            {QStringLiteral("secrets"), secrets}};
}

std::optional<ChangeRecord> ChangeRecord::fromJson(const QJsonObject& o)
{
    ChangeRecord r;
    r.transferID = o.value(QStringLiteral("transferID")).toString();
    r.migrationID = o.value(QStringLiteral("migrationID")).toString();
    r.snapshotID = o.value(QStringLiteral("snapshotID")).toString();
    r.time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODate);
    r.created = std::uint64_t(std::max(0.0, o.value(QStringLiteral("created")).toDouble()));
    r.settings = o.value(QStringLiteral("settings")).toBool();
    r.secrets = o.value(QStringLiteral("secrets")).toBool();
    if (!isSafeName(r.transferID))
        return std::nullopt;
    return r;
}

QString changeRecordsFolder(const QString& home) { return QDir(kivoDataFolder(home)).filePath(QStringLiteral("vault-changes")); }

QString touchedListPath(const QString& home, const QString& transferID)
{
    return QDir(changeRecordsFolder(home)).filePath(transferID + QStringLiteral(".touched"));
}

QString afterListPath(const QString& home, const QString& transferID)
{
    return QDir(changeRecordsFolder(home)).filePath(transferID + QStringLiteral(".after"));
}

QList<ChangeRecord> changeRecords(const QString& home)
{
    QList<ChangeRecord> out;
    const QDir dir(changeRecordsFolder(home));
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        const auto bytes = fs::readRegularFile(dir.filePath(name), kMaxRecordBytes);
        const QJsonDocument doc = bytes ? QJsonDocument::fromJson(*bytes) : QJsonDocument();
        if (const auto record = ChangeRecord::fromJson(doc.object()))
            out << *record;
    }
    std::stable_sort(out.begin(), out.end(), [](const ChangeRecord& a, const ChangeRecord& b) { return a.time < b.time; });
    return out;
}

QStringList vaultPathsOf(const QString& home)
{
    QStringList out;
    const QString vault = defaultVaultFolder(home);
    for (const QString& folder : {changeRecordsFolder(home), vault}) {
        if (!QFileInfo(folder).isDir())
            continue;
        out << folder;
        for (QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            out << it.next();
    }
    if (QFileInfo::exists(keyFileBeside(vault)))
        out << keyFileBeside(vault);
    return out;
}

namespace {

// Takes the pre-change snapshot: the files replaced, and the settings database
// and keychain items when the migration brings them. Their dumps live in
// private folders of kivo's own, gone as soon as restic has them.
QString snapshotBefore(const PreChangeRequest& request, const QList<QPair<QString, QStringList>>& replaced,
                       const ChangeRecord& record)
{
    const QString folder = defaultVaultFolder(request.home);
    SnapshotVault vault(ResticEngine::locate(), resolveAccess(folder, {std::nullopt, !QFileInfo::exists(folder)}));
    vault.init();
    SnapshotRequest s;
    s.home = request.home;
    s.kind = QStringLiteral("pre-change");
    s.migrationID = request.migrationID;
    s.host = request.host;
    s.username = request.username;
    s.categories = replaced;
    // Beside the records, so on the home's file system and never part of what it snapshots of the home.
    std::optional<QTemporaryDir> dump;
    if (record.settings) {
        QDir().mkpath(changeRecordsFolder(request.home));
        dump.emplace(QDir(changeRecordsFolder(request.home)).filePath(QStringLiteral("settings-XXXXXX")));
        if (!dump->isValid())
            throw VaultError(VaultErrorKind::failed, QStringLiteral("no room to keep the settings for the snapshot"));
        s.listed << dumpSettingsInto(request.home, dump->path());
    }
    std::unique_ptr<QTemporaryDir> secretsDump;
    if (record.secrets) {
        secretsDump = privateSecretsFolder(request.home);
        s.listed << dumpSecretsInto(secretsDump->path());
    }
    return vault.snapshot(s, {}).id;
}

} // namespace

ChangeRecord takePreChangeSnapshot(const PreChangeRequest& request, const EachWrite& writes)
{
    if (!isSafeName(request.transferID))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the transfer id cannot name a record"));
    for (const ChangeRecord& r : changeRecords(request.home))
        if (r.transferID == request.transferID)
            return r;
    removeSecretsLeftovers(request.home);
    ChangeRecord record;
    record.transferID = request.transferID;
    record.migrationID = request.migrationID;
    record.time = QDateTime::currentDateTimeUtc();
    QList<QPair<QString, QStringList>> replaced;
    // The export lands in kivo's own folder on Linux homes, which the entries leave out: it is spotted first.
    const EachWrite watched = [&](const WriteVisitor& visit) {
        writes([&](const QString& destination, const QString& category, bool isFolder) {
            record.secrets = record.secrets || (!isFolder && isKeychainExport(request.home, destination));
            visit(destination, category, isFolder);
        });
    };
    // The list goes straight to disk: a manifest may hold millions.
    fs::writeFileAtomically(touchedListPath(request.home, request.transferID), [&](const fs::ByteSink& sink) {
        replaced = sortWrites(request.home, watched, [&](const ChangeEntry& entry) {
            sink(encodeEntry(entry));
            if (entry.kind == ChangeEntry::Kind::created)
                ++record.created;
            if (!entry.isFolder() && entry.relative == receivedSettingsPath())
                record.settings = true;
        });
    });
    // Without a usable keychain its import changes nothing of it either.
    if (record.secrets) {
        if (const QString problem = keychainProblem(); !problem.isEmpty()) {
            qCWarning(lcApp).noquote() << "The keychain is left out of the safety snapshot:" << problem;
            record.secrets = false;
        }
    }
    if (!replaced.isEmpty() || record.settings || record.secrets)
        record.snapshotID = snapshotBefore(request, replaced, record);
    // Written last and in one step: a record means its snapshot is complete.
    fs::writeFileAtomically(QDir(changeRecordsFolder(request.home)).filePath(request.transferID + QStringLiteral(".json")),
                            QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact));
    return record;
}

void recordStateAfter(const QString& home, const QString& transferID)
{
    const QString touched = touchedListPath(home, transferID);
    if (!isSafeName(transferID) || !QFileInfo::exists(touched))
        return;
    const QString root = QDir::cleanPath(home) + u'/';
    fs::writeFileAtomically(afterListPath(home, transferID), [&](const fs::ByteSink& sink) {
        forEachEntry(touched, [&](ChangeEntry entry) {
            entry.afterKnown = true;
            entry.after = PathState::of(entry.relative == u'.' ? QDir::cleanPath(home) : root + entry.relative);
            sink(encodeEntry(entry));
        });
    });
    // Written as the migration ends, after its files were handed to the account.
    handToHomeOwner(home, afterListPath(home, transferID));
    const QList<ChangeRecord> records = changeRecords(home);
    const bool settings = std::any_of(records.begin(), records.end(),
                                      [&](const ChangeRecord& r) { return r.transferID == transferID && r.settings; });
    if (settings) {
        fs::writeFileAtomically(settingsAfterPath(home, transferID), dconf::dumpHome(home));
        handToHomeOwner(home, settingsAfterPath(home, transferID));
    }
    if (std::any_of(records.begin(), records.end(), [&](const ChangeRecord& r) { return r.transferID == transferID && r.secrets; }))
        recordSecretsAfter(home, transferID);
}

} // namespace kivo
