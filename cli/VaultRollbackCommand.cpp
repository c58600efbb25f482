// SPDX-License-Identifier: Apache-2.0
#include "cli/CliOptions.h"
#include "cli/VaultRun.h"

#include "platform/AccountHome.h"
#include "platform/HostNames.h"
#include "vault/MigrationRollback.h"

#include <QJsonArray>

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

namespace {

QString files(std::uint64_t n) { return n == 1 ? u"1 file"_s : u"%1 files"_s.arg(n); }
QString folders(std::uint64_t n) { return n == 1 ? u"1 empty folder"_s : u"%1 empty folders"_s.arg(n); }
QString keys(qsizetype n) { return n == 1 ? u"1 setting"_s : u"%1 settings"_s.arg(n); }

QString items(qsizetype n) { return n == 1 ? u"1 keychain item"_s : u"%1 keychain items"_s.arg(n); }

// "3 files", "2 settings", "3 files, 2 settings and 1 keychain item": what changed after the migration.
QString changedWhat(const RollbackReport& r)
{
    const qsizetype settings = r.settingsChanged.size();
    const qsizetype secrets = r.secretsChanged.size();
    const std::uint64_t changedFiles = r.changedCount - std::uint64_t(settings + secrets);
    QStringList parts;
    if (changedFiles > 0 || (settings == 0 && secrets == 0))
        parts << files(changedFiles);
    if (settings > 0)
        parts << keys(settings);
    if (secrets > 0)
        parts << items(secrets);
    const QString last = parts.takeLast();
    return parts.isEmpty() ? last : u"%1 and %2"_s.arg(parts.join(u", "_s), last);
}

// Everything changed after the migration, as listed: files, then settings keys, then keychain items.
QStringList changedList(const RollbackReport& r) { return r.changed + r.settingsChanged + r.secretsChanged; }

// ", 1 setting put back and 2 reset", or nothing when no setting is involved.
QString settingsPart(const RollbackReport& r, const QString& restoredWord)
{
    if (r.settingsRestored.isEmpty() && r.settingsReset.isEmpty())
        return {};
    return u", %1 %2 and %3 reset"_s.arg(keys(r.settingsRestored.size()), restoredWord).arg(r.settingsReset.size());
}

// ", 1 keychain item put back and 2 deleted", or nothing when the keychain is not involved.
QString secretsPart(const RollbackReport& r, const QString& restoredWord, const QString& removedWord)
{
    if (r.secretsRestored.isEmpty() && r.secretsRemoved.isEmpty())
        return {};
    return u", %1 %2 and %3 %4"_s.arg(items(r.secretsRestored.size()), restoredWord).arg(r.secretsRemoved.size()).arg(removedWord);
}

QString outcomeWord(RollbackReport::Outcome o)
{
    switch (o) {
    case RollbackReport::Outcome::done: return u"done"_s;
    case RollbackReport::Outcome::alreadyDone: return u"alreadyDone"_s;
    case RollbackReport::Outcome::refused: return u"refused"_s;
    case RollbackReport::Outcome::blocked: return u"blocked"_s;
    case RollbackReport::Outcome::dryRun: return u"dryRun"_s;
    }
    return {};
}

QJsonObject toJson(const RollbackReport& r)
{
    return {{u"outcome"_s, outcomeWord(r.outcome)},
            {u"migrationID"_s, r.migrationID},
            {u"categories"_s, QJsonArray::fromStringList(r.categories)},
            {u"remaining"_s, QJsonArray::fromStringList(r.remaining)},
            {u"resumed"_s, r.resumed},
            {u"restored"_s, double(r.restored)},
            {u"removed"_s, double(r.removed)},
            {u"planned"_s, double(r.planned)},
            {u"foldersRemoved"_s, double(r.foldersRemoved)},
            {u"changedCount"_s, double(r.changedCount)},
            {u"changed"_s, QJsonArray::fromStringList(r.changed)},
            {u"blocked"_s, QJsonArray::fromStringList(r.blocked)},
            {u"notRestored"_s, QJsonArray::fromStringList(r.notRestored)},
            {u"settingsRestored"_s, double(r.settingsRestored.size())},
            {u"settingsReset"_s, double(r.settingsReset.size())},
            {u"settingsRestoredKeys"_s, QJsonArray::fromStringList(r.settingsRestored)},
            {u"settingsResetKeys"_s, QJsonArray::fromStringList(r.settingsReset)},
            {u"settingsChanged"_s, QJsonArray::fromStringList(r.settingsChanged)},
            {u"secretsRestored"_s, double(r.secretsRestored.size())},
            {u"secretsRemoved"_s, double(r.secretsRemoved.size())},
            {u"secretsRestoredItems"_s, QJsonArray::fromStringList(r.secretsRestored)},
            {u"secretsRemovedItems"_s, QJsonArray::fromStringList(r.secretsRemoved)},
            {u"secretsChanged"_s, QJsonArray::fromStringList(r.secretsChanged)},
            {u"preChangeSnapshot"_s, r.preChangeSnapshot},
            {u"preRollbackSnapshot"_s, r.preRollbackSnapshot.isEmpty() ? QJsonValue() : QJsonValue(r.preRollbackSnapshot)}};
}

// The paths as lines under a heading, with how many more there are than listed.
void listPaths(Reporter& out, const QString& heading, const QStringList& paths, std::uint64_t total)
{
    out.error(heading);
    for (const QString& p : paths)
        out.error(u"  "_s + p);
    if (total > std::uint64_t(paths.size()))
        out.error(u"  ... and %1 more"_s.arg(total - std::uint64_t(paths.size())));
}

QString summary(const RollbackReport& r)
{
    const QString what = r.categories.join(u", "_s);
    QString line = u"Rolled back migration %1 (%2): %3 put back, %4 removed, %5 removed%6."_s
                   .arg(r.migrationID, what, files(r.restored), files(r.removed), folders(r.foldersRemoved))
                   .arg(r.resumed ? u", finishing the run cut short"_s : QString());
    line.insert(line.size() - 1, settingsPart(r, u"put back"_s) + secretsPart(r, u"put back"_s, u"deleted"_s));
    if (!r.remaining.isEmpty())
        line += u" Still as migrated: %1."_s.arg(r.remaining.join(u", "_s));
    return line;
}

} // namespace

int runRollback(VaultRun& run)
{
    const VaultOptions& o = run.options;
    RollbackRequest request;
    request.home = o.home;
    request.migration = o.snapshot;
    request.category = o.category;
    request.dryRun = o.dryRun;
    request.force = o.force;
    request.host = thisHostName();
    request.username = host::ownerNameOf(o.home).value_or(host::loginUserName());
    request.passwordFile = o.passwordFile;
    const RollbackReport r = MigrationRollback(request, [&run](const VaultProgress& p) { run.progress(p); }).run();
    switch (r.outcome) {
    case RollbackReport::Outcome::alreadyDone:
        run.out.event(u"rollback"_s, toJson(r),
                      u"Migration %1 is rolled back already%2; nothing to do."_s.arg(
                          r.migrationID, o.category ? u" for "_s + *o.category : QString()));
        return exitSuccess;
    case RollbackReport::Outcome::refused:
        run.out.event(u"rollback"_s, toJson(r), QString());
        listPaths(run.out, u"kivo-cli: vault: %1 changed after migration %2; nothing was rolled back "
                           "(--force rolls them back too, after a snapshot of them):"_s.arg(changedWhat(r), r.migrationID),
                  changedList(r), r.changedCount);
        return exitRefused;
    case RollbackReport::Outcome::blocked:
        run.out.event(u"rollback"_s, toJson(r), QString());
        listPaths(run.out, u"kivo-cli: vault: these folders refuse changes, so nothing was rolled back; the "
                           "snapshot is kept and a later run can go on once they can be changed:"_s,
                  r.blocked, std::uint64_t(r.blocked.size()));
        return exitTransferFailed;
    case RollbackReport::Outcome::dryRun: {
        run.out.event(u"rollback"_s, toJson(r),
                      u"A rollback of migration %1 would put back or remove %2%3 of %4 (%5 changed after it%6)."_s
                          .arg(r.migrationID, files(r.planned),
                               settingsPart(r, u"to put back"_s) + secretsPart(r, u"to put back"_s, u"to delete"_s),
                               r.categories.join(u", "_s), changedWhat(r))
                          .arg(r.changedCount && !o.force ? u": refused without --force"_s : QString()));
        if (!r.settingsRestored.isEmpty() && !run.out.isJson())
            listPaths(run.out, u"Settings put back to what they were:"_s, r.settingsRestored, std::uint64_t(r.settingsRestored.size()));
        if (!r.settingsReset.isEmpty() && !run.out.isJson())
            listPaths(run.out, u"Settings the migration added, reset:"_s, r.settingsReset, std::uint64_t(r.settingsReset.size()));
        if (!r.secretsRestored.isEmpty() && !run.out.isJson())
            listPaths(run.out, u"Keychain items put back to what they were:"_s, r.secretsRestored, std::uint64_t(r.secretsRestored.size()));
        if (!r.secretsRemoved.isEmpty() && !run.out.isJson())
            listPaths(run.out, u"Keychain items the migration added, deleted:"_s, r.secretsRemoved, std::uint64_t(r.secretsRemoved.size()));
        if (r.changedCount > 0 && !run.out.isJson())
            listPaths(run.out, u"Changed after the migration:"_s, changedList(r), r.changedCount);
        if (!r.blocked.isEmpty() && !run.out.isJson())
            listPaths(run.out, u"Folders refusing changes:"_s, r.blocked, std::uint64_t(r.blocked.size()));
        return exitSuccess;
    }
    case RollbackReport::Outcome::done: break;
    }
    run.out.event(u"rollback"_s, toJson(r), summary(r));
    if (!r.notRestored.isEmpty())
        listPaths(run.out, u"Not files, so left in snapshot %1 (kivo-cli vault restore puts them in a folder):"_s
                               .arg(r.preChangeSnapshot),
                  r.notRestored, std::uint64_t(r.notRestored.size()));
    return exitSuccess;
}

} // namespace kivo::cli
