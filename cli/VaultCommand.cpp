// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultCommand.h"
#include "cli/VaultRun.h"

#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/Reporter.h"
#include "platform/AccountHome.h"
#include "platform/ByteCount.h"
#include "platform/HostNames.h"
#include "platform/Json.h"
#include "vault/SnapshotVault.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QSysInfo>

namespace kivo::cli {

namespace {

using namespace Qt::Literals::StringLiterals;

QString categoryLine(const VaultSnapshot& s)
{
    QStringList parts;
    for (const CategorySnapshot& c : s.categories)
        parts << u"%1 %2 (%3 %4, %5)"_s.arg(c.category, c.engineSnapshot.left(8))
                     .arg(c.files)
                     .arg(c.files == 1 ? u"file"_s : u"files"_s, formatFileSize(c.bytes));
    return parts.join(u", "_s);
}

int runInit(VaultRun& run)
{
    bool created = false;
    const SnapshotVault vault = run.open(true, &created);
    const QString where = vault.access().repository;
    run.out.event(QStringLiteral("vaultInit"), {{u"vault"_s, where}, {u"created"_s, created}},
                  created ? u"Created the vault at %1."_s.arg(where) : u"The vault at %1 exists; its password opens it."_s.arg(where));
    return exitSuccess;
}

int runSnapshot(VaultRun& run)
{
    const VaultOptions& o = run.options;
    SnapshotVault vault = run.open(!o.vault);
    SnapshotRequest request;
    request.home = o.home;
    request.host = thisHostName();
    request.username = host::ownerNameOf(o.home).value_or(host::loginUserName());
    request.categories = categoryPaths(o.home, o.categories.value_or(categoryIds(false)), o.folders);
    request.principal = profileVaultSettings().principal;
    const VaultSnapshot taken = vault.snapshot(request, [&run](const VaultProgress& p) { run.progress(p); });
    if (taken.categories.isEmpty()) {
        run.out.event(QStringLiteral("vaultSnapshot"), QJsonObject{{u"id"_s, QJsonValue()}, {u"categories"_s, QJsonArray()}},
                      u"Nothing to snapshot: the chosen categories hold nothing in %1."_s.arg(o.home));
        return exitSuccess;
    }
    run.out.event(QStringLiteral("vaultSnapshot"), taken.toJson(),
                  u"Snapshot %1 in %2: %3"_s.arg(taken.id, vault.access().repository, categoryLine(taken)));
    return exitSuccess;
}

int runList(VaultRun& run)
{
    const SnapshotVault vault = run.open(false);
    const QList<VaultSnapshot> all = vault.list();
    for (const VaultSnapshot& s : all)
        run.out.event(QStringLiteral("snapshot"), s.toJson(),
                      u"%1  %2  %3  %4@%5  %6%7"_s.arg(s.id, json::formatDate(s.time), s.kind, s.username, s.host,
                                                      categoryLine(s),
                                                      s.migrationID.isEmpty() ? QString() : u"  migration "_s + s.migrationID));
    if (all.isEmpty() && !run.out.isJson())
        run.out.event({}, {}, u"No snapshots in %1."_s.arg(vault.access().repository));
    return exitSuccess;
}

int runCheck(VaultRun& run)
{
    const SnapshotVault vault = run.open(false);
    vault.check(run.options.readData);
    run.out.event(QStringLiteral("vaultChecked"), {{u"vault"_s, vault.access().repository}, {u"readData"_s, run.options.readData}},
                  u"The vault at %1 is intact%2."_s.arg(vault.access().repository,
                                                       run.options.readData ? u", every stored byte read"_s : QString()));
    return exitSuccess;
}

int runRestore(VaultRun& run)
{
    const VaultOptions& o = run.options;
    const SnapshotVault vault = run.open(false);
    // Into a new or empty folder only: a restore overwrites, and the home's own
    // files are rolled back by `vault rollback`, which keeps what it replaces.
    if (QFileInfo(o.target).exists()
        && (!QFileInfo(o.target).isDir()
            || !QDir(o.target).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)))
        throw VaultError(VaultErrorKind::changedSince,
                         u"%1 is not an empty folder: restore into a new or empty one, so that nothing is overwritten"_s.arg(o.target));
    const VaultSnapshot snap = pickSnapshot(vault.list(), o.snapshot, o.category);
    QDir().mkpath(o.target);
    vault.restore(snap, o.category, o.target, [&run](const VaultProgress& p) { run.progress(p); });
    run.out.event(QStringLiteral("vaultRestored"), {{u"id"_s, snap.id}, {u"target"_s, o.target}},
                  u"Snapshot %1 restored into %2."_s.arg(snap.id, o.target));
    return exitSuccess;
}

int runForget(VaultRun& run)
{
    const VaultOptions& o = run.options;
    const SnapshotVault vault = run.open(false);
    const QList<VaultSnapshot> all = vault.list();
    QList<VaultSnapshot> doomed;
    if (o.keepLast)
        doomed = all.mid(0, std::max<qsizetype>(0, all.size() - *o.keepLast));
    else
        doomed << pickSnapshot(all, o.snapshot);
    vault.forget(doomed, o.prune);
    for (const VaultSnapshot& s : doomed)
        run.out.event(QStringLiteral("vaultForgotten"), {{u"id"_s, s.id}}, u"Forgot snapshot %1."_s.arg(s.id));
    return exitSuccess;
}

} // namespace

int exitCodeFor(VaultErrorKind kind)
{
    switch (kind) {
    case VaultErrorKind::failed:
    case VaultErrorKind::damaged:
    case VaultErrorKind::full:
    case VaultErrorKind::snapshotGone: return exitTransferFailed;
    case VaultErrorKind::changedSince: return exitRefused;
    case VaultErrorKind::unknownSnapshot:
    case VaultErrorKind::noVault:
    case VaultErrorKind::wrongPassword:
    case VaultErrorKind::missingKey: return exitBadInput;
    case VaultErrorKind::noEngine:
    case VaultErrorKind::unreachable:
    case VaultErrorKind::locked: return exitServiceUnavailable;
    }
    return exitTransferFailed;
}

VaultOptions parseVault(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("vault"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    VaultOptions o;
    const QString action = args.first();
    using A = VaultOptions::Action;
    o.action = action == u"init"_s ? A::init : action == u"snapshot"_s ? A::snapshot : action == u"check"_s ? A::check
             : action == u"restore"_s ? A::restore : action == u"forget"_s ? A::forget
             : action == u"rollback"_s ? A::rollback : A::list;
    o.home = absolute(p.isSet(u"home"_s) ? p.value(u"home"_s) : QDir::homePath());
    o.json = p.isSet(u"json"_s);
    if (p.isSet(u"vault"_s)) {
        QString error;
        if (!parseVaultLocation(p.value(u"vault"_s), &error))
            throw UsageError(u"--vault: "_s + error);
        o.vault = p.value(u"vault"_s);
    }
    if (p.isSet(u"password-file"_s))
        o.passwordFile = p.value(u"password-file"_s);
    if (p.isSet(u"categories"_s))
        o.categories = p.values(u"categories"_s);
    if (p.isSet(u"folders"_s))
        o.folders = p.values(u"folders"_s);
    o.readData = p.isSet(u"read-data"_s);
    o.prune = p.isSet(u"prune"_s);
    o.dryRun = p.isSet(u"dry-run"_s);
    o.force = p.isSet(u"force"_s);
    if (p.isSet(u"category"_s))
        o.category = p.value(u"category"_s);
    if (p.isSet(u"target"_s))
        o.target = absolute(p.value(u"target"_s));
    if (p.isSet(u"keep-last"_s)) {
        bool ok = false;
        o.keepLast = p.value(u"keep-last"_s).toInt(&ok);
        if (!ok || *o.keepLast < 0)
            throw UsageError(u"--keep-last takes a count of snapshots"_s);
    }
    QStringList positional = p.positional();
    if (o.action == A::restore || o.action == A::rollback || (o.action == A::forget && !o.keepLast)) {
        if (positional.isEmpty())
            throw UsageError(o.action == A::restore    ? u"missing SNAP|latest"_s
                             : o.action == A::rollback ? u"missing MIGRATION-ID|latest"_s
                                                       : u"missing SNAP (or --keep-last N)"_s);
        o.snapshot = positional.takeFirst();
    }
    if (!positional.isEmpty())
        throw UsageError(u"unexpected argument \"%1\""_s.arg(positional.first()));
    if (o.action == A::rollback && o.vault)
        throw UsageError(u"vault rollback takes no --vault: a receive keeps what it replaced in the home's own vault"_s);
    if (o.action == A::restore && o.target.isEmpty())
        throw UsageError(u"missing --target DIR"_s);
    return o;
}

int runVault(const VaultOptions& o)
{
    VaultRun run(o);
    try {
        switch (o.action) {
        case VaultOptions::Action::init: return runInit(run);
        case VaultOptions::Action::snapshot: return runSnapshot(run);
        case VaultOptions::Action::list: return runList(run);
        case VaultOptions::Action::check: return runCheck(run);
        case VaultOptions::Action::restore: return runRestore(run);
        case VaultOptions::Action::forget: return runForget(run);
        case VaultOptions::Action::rollback: return runRollback(run);
        }
    } catch (const VaultError& e) {
        return run.fail(e);
    } catch (const Error& e) {
        return run.fail(VaultError(VaultErrorKind::failed, e.description()));
    }
    return exitTransferFailed;
}

} // namespace kivo::cli
