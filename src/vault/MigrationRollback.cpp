// SPDX-License-Identifier: Apache-2.0
#include "vault/MigrationRollback.h"

#include "platform/Dconf.h"
#include "platform/DurableFlush.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/SmallFiles.h"
#include "vault/RollbackPlan.h"
#include "vault/SecretsRecord.h"
#include "vault/SettingsRecord.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace kivo {

namespace {

constexpr qint64 kMaxStateFile = 1024 * 1024;
// The category whose record may carry settings keys.
const QString kSettingsCategory = QStringLiteral("systemSettings");

QStringList toStrings(const QJsonValue& v)
{
    QStringList out;
    for (const QJsonValue& s : v.toArray())
        out << s.toString();
    return out;
}

const ChangeRecord& findRecord(const QList<ChangeRecord>& records, const QString& name)
{
    if (name == u"latest" && !records.isEmpty())
        return records.last();
    for (const ChangeRecord& r : records)
        if (r.migrationID == name || r.transferID == name)
            return r;
    throw VaultError(VaultErrorKind::unknownSnapshot, QStringLiteral("no migration %1 changed this home").arg(name));
}

} // namespace

QString rollbackStagingFolder(const QString& home, const QString& transferID)
{
    return QDir(kivoDataFolder(home)).filePath(QStringLiteral("rollback/") + transferID);
}

MigrationRollback::MigrationRollback(RollbackRequest request, VaultProgressHandler progress)
    : m_request(std::move(request)), m_progress(std::move(progress))
{
    m_request.home = QDir::cleanPath(m_request.home);
}

QString MigrationRollback::path(const char* suffix) const
{
    return QDir(changeRecordsFolder(m_request.home)).filePath(m_record.transferID + QLatin1String(suffix));
}

QString MigrationRollback::entriesPath() const
{
    const QString after = path(".after");
    return QFileInfo::exists(after) ? after : path(".touched");
}

QStringList MigrationRollback::recordedCategories() const
{
    QStringList out;
    forEachEntry(path(".touched"), [&](const ChangeEntry& e) {
        if (!out.contains(e.category))
            out << e.category;
    });
    // A Linux home's export lands in kivo's own folder, which the entries leave out.
    if (m_record.secrets && !out.contains(keychainCategory()))
        out << keychainCategory();
    return out;
}

QStringList MigrationRollback::doneCategories() const
{
    const auto bytes = fs::readRegularFile(path(".rolledback"), kMaxStateFile);
    return bytes ? toStrings(QJsonDocument::fromJson(*bytes).object().value(QStringLiteral("categories"))) : QStringList();
}

std::optional<MigrationRollback::Journal> MigrationRollback::loadJournal() const
{
    const auto bytes = fs::readRegularFile(path(".rollback"), kMaxStateFile);
    if (!bytes)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(*bytes).object();
    Journal j{o.value(QStringLiteral("phase")).toString(), toStrings(o.value(QStringLiteral("categories"))),
              o.value(QStringLiteral("snapshot")).toString(),
              std::uint64_t(o.value(QStringLiteral("totalFiles")).toDouble()),
              std::uint64_t(o.value(QStringLiteral("totalBytes")).toDouble())};
    if (j.categories.isEmpty() || !QStringList{QStringLiteral("snapshot"), QStringLiteral("stage"), QStringLiteral("swap")}.contains(j.phase))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the rollback journal %1 is damaged").arg(path(".rollback")));
    return j;
}

void MigrationRollback::saveJournal(const Journal& j) const
{
    const QJsonObject o{{QStringLiteral("phase"), j.phase},
                        {QStringLiteral("categories"), QJsonArray::fromStringList(j.categories)},
                        {QStringLiteral("snapshot"), j.snapshot},
                        {QStringLiteral("totalFiles"), double(j.totalFiles)},
                        {QStringLiteral("totalBytes"), double(j.totalBytes)}};
    fs::writeFileAtomically(path(".rollback"), QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// What a rollback is about to replace, by category, written to files as it is
// found: the list of a migration of millions of files is never held.
class ReplacedPaths {
public:
    void add(const QString& category, const QString& relative, std::uint64_t size)
    {
        auto it = std::find_if(m_lists.begin(), m_lists.end(), [&](const List& l) { return l.paths.category == category; });
        if (it == m_lists.end()) {
            if (!m_folder.isValid())
                throw VaultError(VaultErrorKind::failed, QStringLiteral("no room for the list of files to snapshot"));
            m_lists.push_back({{category, m_folder.filePath(QString::number(m_lists.size())), 0, 0},
                               std::make_unique<QFile>(m_folder.filePath(QString::number(m_lists.size())))});
            it = m_lists.end() - 1;
            if (!it->file->open(QIODevice::WriteOnly))
                throw VaultError(VaultErrorKind::failed, QStringLiteral("no room for the list of files to snapshot"));
        }
        const QByteArray name = relative.toUtf8();
        if (it->file->write(name.constData(), name.size() + 1) != name.size() + 1) // with its NUL
            throw VaultError(VaultErrorKind::failed, QStringLiteral("no room for the list of files to snapshot"));
        ++it->paths.files;
        it->paths.bytes += size;
    }
    bool isEmpty() const { return m_lists.empty(); }
    QList<ListedPaths> finish()
    {
        QList<ListedPaths> out;
        for (List& l : m_lists) {
            if (!l.file->flush())
                throw VaultError(VaultErrorKind::failed, QStringLiteral("no room for the list of files to snapshot"));
            l.file->close();
            out << l.paths;
        }
        return out;
    }

private:
    struct List {
        ListedPaths paths;
        std::unique_ptr<QFile> file;
    };
    QTemporaryDir m_folder;
    std::vector<List> m_lists;
};

void MigrationRollback::plan(const QSet<QString>& categories, ReplacedPaths* replaced, Journal* journal)
{
    const HomeBeneath home(m_request.home);
    const QString root = m_request.home + u'/';
    QSet<QString> checked;
    const auto checkFolder = [&](const QString& folder) {
        if (checked.contains(folder))
            return;
        checked.insert(folder);
        const QString absolute = folder == u'.' ? m_request.home : root + folder;
        if (!QFileInfo(absolute).isDir())
            return; // made again when it is needed
        if ((home.resolveError(absolute) || !home.canChangeFolder(absolute)) && m_report.blocked.size() < kListedLimit)
            m_report.blocked << folder;
    };
    forEachEntry(entriesPath(), [&](const ChangeEntry& e) {
        if (!categories.contains(e.category))
            return;
        if (e.kind == ChangeEntry::Kind::folderCreated) {
            checkFolder(QFileInfo(e.relative).path());
            return;
        }
        const std::optional<PathState> now = PathState::of(root + e.relative);
        const RollbackDecision d = planRollback(e, now);
        if (d.step == RollbackStep::none)
            return;
        checkFolder(QFileInfo(e.relative).path());
        if (d.changedSince && m_report.changed.size() < kListedLimit)
            m_report.changed << e.relative;
        m_report.changedCount += d.changedSince ? 1 : 0;
        ++journal->totalFiles;
        journal->totalBytes += d.step == RollbackStep::restore && e.before ? e.before->size : 0;
        if (now)
            replaced->add(e.category, e.relative, now->isFolder ? 0 : now->size);
    });
    if (coversSettings(QStringList(categories.begin(), categories.end())))
        planSettings();
    if (coversSecrets(QStringList(categories.begin(), categories.end())))
        planSecrets();
}

bool MigrationRollback::coversSettings(const QStringList& categories) const
{
    return m_record.settings && categories.contains(kSettingsCategory);
}

void MigrationRollback::planSettings()
{
    // Kivo's own folder of the home: private, and never part of a snapshot of it.
    QDir().mkpath(changeRecordsFolder(m_request.home));
    m_settingsFolder = std::make_unique<QTemporaryDir>(
        QDir(changeRecordsFolder(m_request.home)).filePath(QStringLiteral("settings-XXXXXX")));
    if (!m_settingsFolder->isValid())
        throw VaultError(VaultErrorKind::failed, QStringLiteral("no room to compare the settings"));
    const QString before = m_settingsFolder->filePath(QStringLiteral("before"));
    const SnapshotVault vault = openVault(false);
    vault.restore(preChangeSnapshot(vault), settingsDatabaseCategory(), before, {});
    const std::optional<SettingsValues> was = readSettingsFile(QDir(before).filePath(settingsDumpName()));
    if (!was)
        throw VaultError(VaultErrorKind::snapshotGone,
                         QStringLiteral("snapshot %1 holds no settings to put back: nothing was changed").arg(m_record.snapshotID));
    const QString now = m_settingsFolder->filePath(QStringLiteral("now"));
    ListedPaths current;
    try {
        current = dumpSettingsInto(m_request.home, now);
    } catch (const SystemError& e) {
        throw VaultError(VaultErrorKind::failed, e.description());
    }
    const SettingsRollbackPlan plan = planSettingsRollback(
        *was, readSettingsFile(settingsAfterPath(m_request.home, m_record.transferID)),
        readSettingsFile(QDir(now).filePath(settingsDumpName())).value_or(SettingsValues()));
    m_report.settingsRestored = plan.restore.keys();
    m_report.settingsReset = plan.reset;
    m_report.settingsChanged = plan.changedSince;
    m_report.changedCount += std::uint64_t(plan.changedSince.size());
    if (plan.size() > 0)
        m_settingsNow = current;
}

void MigrationRollback::swapSettings(const QString& staging)
{
    const std::optional<SettingsValues> before = readSettingsFile(staging + settingsDumpName());
    if (!before)
        throw VaultError(VaultErrorKind::failed,
                         QStringLiteral("the settings kept before migration %1 were not restored").arg(m_record.migrationID));
    SettingsValues now;
    try {
        now = parseSettings(dconf::dumpHome(m_request.home));
    } catch (const SystemError& e) {
        throw VaultError(VaultErrorKind::failed, e.description());
    }
    // Planned again: a run cut short may have put some back already.
    const SettingsRollbackPlan plan =
        planSettingsRollback(*before, readSettingsFile(settingsAfterPath(m_request.home, m_record.transferID)), now);
    applySettingsRollback(m_request.home, plan, m_request.runtimeRoot);
    m_report.settingsRestored = plan.restore.keys();
    m_report.settingsReset = plan.reset;
}

QString MigrationRollback::snapshotReplaced(ReplacedPaths& replaced)
{
    if (replaced.isEmpty() && !m_settingsNow && !m_secretsChange)
        return {};
    QList<ListedPaths> listed = replaced.finish();
    if (m_settingsNow)
        listed << *m_settingsNow;
    std::unique_ptr<QTemporaryDir> secretsDump; // removed as soon as restic has it
    if (m_secretsChange)
        listed << secretsNow(secretsDump);
    SnapshotRequest s{m_request.home, QStringLiteral("pre-rollback"), m_record.migrationID, m_request.host,
                      m_request.username, {}, listed};
    return openVault(true).snapshot(s, m_progress).id;
}

SnapshotVault MigrationRollback::openVault(bool create) const
{
    const QString folder = defaultVaultFolder(m_request.home);
    const bool fresh = !QFileInfo::exists(QDir(folder).filePath(QStringLiteral("config")));
    SnapshotVault vault(ResticEngine::locate(), resolveAccess(folder, {m_request.passwordFile, create && fresh}));
    if (create)
        vault.init();
    return vault;
}

VaultSnapshot MigrationRollback::preChangeSnapshot(const SnapshotVault& vault) const
{
    const QList<VaultSnapshot> all = vault.list();
    try {
        return pickSnapshot(all, m_record.snapshotID);
    } catch (const VaultError&) {
        throw VaultError(VaultErrorKind::snapshotGone, QStringLiteral("snapshot %1, taken before migration %2, is no "
                                                                      "longer in the vault: nothing was changed")
                                                           .arg(m_record.snapshotID, m_record.migrationID));
    }
}

RollbackReport MigrationRollback::run()
{
    m_record = findRecord(changeRecords(m_request.home), m_request.migration);
    removeSecretsLeftovers(m_request.home);
    m_report.migrationID = m_record.migrationID;
    m_report.transferID = m_record.transferID;
    m_report.preChangeSnapshot = m_record.snapshotID;
    const QStringList recorded = recordedCategories();
    const QStringList done = doneCategories();
    std::optional<Journal> journal = loadJournal();
    if (journal) {
        m_report.resumed = true;
    } else {
        journal = Journal{QStringLiteral("snapshot"), {}, {}, 0, 0};
        if (m_request.category && !recorded.contains(*m_request.category))
            throw VaultError(VaultErrorKind::unknownSnapshot, QStringLiteral("migration %1 changed nothing of %2")
                                                                  .arg(m_record.migrationID, *m_request.category));
        for (const QString& c : recorded)
            if (!done.contains(c) && (!m_request.category || c == *m_request.category))
                journal->categories << c;
    }
    m_report.categories = journal->categories;
    for (const QString& c : recorded)
        if (!done.contains(c) && !journal->categories.contains(c))
            m_report.remaining << c;
    if (journal->categories.isEmpty()) {
        m_report.outcome = RollbackReport::Outcome::alreadyDone;
        return m_report;
    }
    // A run cut short before its snapshot was whole changed nothing yet: it plans again, as agreed then.
    if (!m_report.resumed || journal->phase == u"snapshot") {
        const QSet<QString> chosen(journal->categories.begin(), journal->categories.end());
        ReplacedPaths replaced;
        journal->totalFiles = journal->totalBytes = 0;
        plan(chosen, &replaced, &*journal);
        const bool refused = m_report.changedCount > 0 && !m_request.force;
        if (!m_report.resumed && (m_request.dryRun || refused || !m_report.blocked.isEmpty())) {
            m_report.planned = journal->totalFiles;
            m_report.outcome = m_request.dryRun ? RollbackReport::Outcome::dryRun
                               : refused        ? RollbackReport::Outcome::refused
                                                : RollbackReport::Outcome::blocked;
            return m_report;
        }
        // What is to be put back must still be there before anything is taken or changed.
        if (!m_record.snapshotID.isEmpty() && !m_report.resumed)
            preChangeSnapshot(openVault(false));
        journal->phase = QStringLiteral("snapshot");
        saveJournal(*journal);
        journal->snapshot = snapshotReplaced(replaced);
        journal->phase = QStringLiteral("stage");
        saveJournal(*journal);
    }
    m_report.planned = journal->totalFiles;
    m_report.preRollbackSnapshot = journal->snapshot;
    if (journal->phase == u"stage") {
        stage(*journal);
        // The staged bytes are on disk before any name points at them: a power cut mid-swap leaves whole files.
        fs::flushFileSystemOf(rollbackStagingFolder(m_request.home, m_record.transferID));
        journal->phase = QStringLiteral("swap");
        saveJournal(*journal);
    }
    swap(*journal);
    finish(*journal);
    return m_report;
}

void MigrationRollback::stage(const Journal& journal)
{
    const QString staging = rollbackStagingFolder(m_request.home, m_record.transferID);
    const HomeBeneath home(m_request.home);
    // Whatever an earlier, cut-short restore left is started over.
    QDir().mkpath(QFileInfo(staging).path());
    home.removeTree(staging);
    if (!QDir().mkpath(staging))
        throw VaultError(VaultErrorKind::failed, QStringLiteral("cannot make %1").arg(staging));
    if (m_progress) {
        VaultProgress started;
        started.phase = QStringLiteral("restore");
        started.totalFiles = journal.totalFiles;
        started.totalBytes = journal.totalBytes;
        m_progress(started);
    }
    if (m_record.snapshotID.isEmpty())
        return; // it replaced nothing: there is nothing to put back
    const SnapshotVault vault = openVault(false);
    const VaultSnapshot before = preChangeSnapshot(vault);
    const bool settings = coversSettings(journal.categories);
    for (const CategorySnapshot& c : before.categories)
        if (journal.categories.contains(c.category) || (settings && c.category == settingsDatabaseCategory()))
            vault.restore(before, c.category, staging, m_progress);
}

void MigrationRollback::swap(const Journal& journal)
{
    const HomeBeneath home(m_request.home);
    const QString root = m_request.home + u'/';
    const QString staging = rollbackStagingFolder(m_request.home, m_record.transferID) + u'/';
    const QSet<QString> chosen(journal.categories.begin(), journal.categories.end());
    VaultProgress progress;
    progress.phase = QStringLiteral("rollback");
    progress.totalFiles = journal.totalFiles;
    progress.totalBytes = journal.totalBytes;
    forEachEntry(entriesPath(), [&](const ChangeEntry& e) {
        if (!chosen.contains(e.category))
            return;
        const QString target = root + e.relative;
        // The plan was agreed (or forced) before anything moved: later changes are no reason to stop now,
        // and what an earlier, cut-short run already did is simply not there to do again.
        const RollbackDecision d = planRollback(e, PathState::of(target));
        if (d.step == RollbackStep::remove) {
            home.removeFile(target);
            ++m_report.removed;
        } else if (d.step == RollbackStep::restore) {
            const QString staged = staging + e.relative;
            const QFileInfo stagedInfo(staged);
            if (stagedInfo.isSymLink() || (stagedInfo.exists() && !stagedInfo.isFile())) {
                // Only files are put back; a link the migration replaced stays in the snapshot, for a restore by hand.
                if (m_report.notRestored.size() < kListedLimit)
                    m_report.notRestored << e.relative;
                return;
            }
            if (!stagedInfo.exists())
                return;
            home.makeFolders(QFileInfo(target).path(), std::nullopt);
            // One rename: the path never stands empty, whatever moment a crash picks.
            home.moveFile(staged, target);
            ++m_report.restored;
            progress.bytes += e.before ? e.before->size : 0;
        } else {
            return;
        }
        progress.files = std::min(progress.totalFiles, progress.files + 1);
        progress.currentFile = e.relative;
        if (m_progress)
            m_progress(progress);
    });
    if (coversSettings(journal.categories))
        swapSettings(staging);
    if (coversSecrets(journal.categories))
        swapSecrets();
    progress.files = progress.totalFiles;
    progress.bytes = progress.totalBytes;
    progress.isFinal = true;
    progress.secondsRemaining = 0.0;
    if (m_progress)
        m_progress(progress);
}

void MigrationRollback::restoreFolders(const QSet<QString>& categories, bool finishing)
{
    const HomeBeneath home(m_request.home);
    const QString root = m_request.home + u'/';
    QStringList created;
    QList<ChangeEntry> touched;
    forEachEntry(entriesPath(), [&](const ChangeEntry& e) {
        // The last category's run tidies every folder: one may hold files of several.
        if (!finishing && !categories.contains(e.category))
            return;
        if (e.kind == ChangeEntry::Kind::folderCreated)
            created << e.relative;
        else if (e.kind == ChangeEntry::Kind::folderTouched && e.before)
            touched << e;
    });
    // Deepest first, so a folder made only to hold another goes too.
    std::sort(created.begin(), created.end(),
              [](const QString& a, const QString& b) { return a.count(u'/') > b.count(u'/'); });
    for (const QString& folder : created)
        if (QFileInfo(root + folder).isDir() && home.removeEmptyFolder(root + folder))
            ++m_report.foldersRemoved;
    for (const ChangeEntry& e : touched) {
        const QString folder = e.relative == u'.' ? m_request.home : root + e.relative;
        if (QFileInfo(folder).isDir() && !home.resolveError(folder))
            home.setFolderModifiedTime(folder, e.before->modifiedSecs, e.before->modifiedNsecs);
    }
}

void MigrationRollback::finish(const Journal& journal)
{
    QStringList done = doneCategories() + journal.categories;
    done.removeDuplicates();
    const bool finishing = m_report.remaining.isEmpty();
    restoreFolders(QSet<QString>(journal.categories.begin(), journal.categories.end()), finishing);
    // The swap is durable before the journal that would redo it goes.
    fs::flushFileSystemOf(m_request.home);
    fs::writeFileAtomically(path(".rolledback"),
                            QJsonDocument(QJsonObject{{QStringLiteral("categories"), QJsonArray::fromStringList(done)}})
                                .toJson(QJsonDocument::Compact));
    QFile::remove(path(".rollback"));
    HomeBeneath(m_request.home).removeTree(rollbackStagingFolder(m_request.home, m_record.transferID));
    // The staging folders' parent goes when nothing else is staged there.
    QDir().rmdir(QFileInfo(rollbackStagingFolder(m_request.home, m_record.transferID)).path());
}

} // namespace kivo
