// SPDX-License-Identifier: Apache-2.0
#include "cli/StagedCommand.h"

#include "cli/Reporter.h"
#include "platform/Accounts.h"
#include "platform/Error.h"
#include "platform/Interrupts.h"
#include "platform/Json.h"
#include "platform/Processes.h"
#include "postmigration/StagedPrefService.h"

#include <QEventLoop>
#include <QJsonArray>

namespace kivo::cli {
namespace {

QJsonObject bundleFields(const StagedPrefBundle& b)
{
    return {{QStringLiteral("key"), b.id},
            {QStringLiteral("displayName"), b.displayName},
            {QStringLiteral("files"), b.entries.size()},
            {QStringLiteral("triggers"), QJsonArray::fromStringList(b.triggers)},
            {QStringLiteral("stagedAt"), json::formatDate(b.stagedAt)},
            {QStringLiteral("expiresAt"), json::formatDate(b.expiresAt)}};
}

void connectEvents(StagedPrefService& service, Reporter& out)
{
    QObject::connect(&service, &StagedPrefService::bundleApplied, &service,
                     [&out](const QString& key, const QStringList& restored) {
                         out.event(QStringLiteral("prefApplied"),
                                   {{QStringLiteral("key"), key}, {QStringLiteral("paths"), QJsonArray::fromStringList(restored)}},
                                   QStringLiteral("Restored %1: %2 files").arg(key).arg(restored.size()));
                     });
    QObject::connect(&service, &StagedPrefService::warning, &service, [&out](const QString& text) { out.error(text); });
}

} // namespace

int runStaged(const StagedOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    // As root, act as the home's owner: nothing made here may end up root's.
    if (effectiveUid() == 0) {
        const std::optional<unsigned> owner = ownerOf(o.home);
        const std::optional<SystemAccount> account = owner ? accountWithUid(*owner) : std::nullopt;
        if (owner && *owner != 0 && (!account || !becomeUser(account->uid, account->gid))) {
            out.error(QStringLiteral("Could not act as the owner of %1").arg(o.home));
            return exitTransferFailed;
        }
    }
    std::unique_ptr<StagedPrefService> service;
    try {
        service = std::make_unique<StagedPrefService>(
            std::make_unique<PrefStager>(o.home),
            std::make_unique<AppInstallWatcher>(AppInstallWatcher::foldersFor(o.home, o.appsDirs, true)));
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitBadInput;
    }
    connectEvents(*service, out);
    PrefStager& stager = service->stager();

    if (o.action == QLatin1String("list")) {
        const QList<StagedPrefBundle> bundles = stager.listStaged();
        for (const StagedPrefBundle& b : bundles)
            out.event(QStringLiteral("staged"), bundleFields(b),
                      QStringLiteral("%1  %2  %3 files, until %4")
                          .arg(b.id, b.displayName)
                          .arg(b.entries.size())
                          .arg(json::formatDate(b.expiresAt)));
        if (bundles.isEmpty() && !o.json)
            out.event(QStringLiteral("staged"), {}, QStringLiteral("Nothing staged."));
        return exitSuccess;
    }
    if (o.action == QLatin1String("discard")) {
        try {
            stager.remove(o.key);
        } catch (const PrefStagerError& e) {
            out.error(e.description());
            return exitBadInput;
        }
        out.event(QStringLiteral("discarded"), {{QStringLiteral("key"), o.key}}, QStringLiteral("Discarded %1").arg(o.key));
        return exitSuccess;
    }
    if (o.action == QLatin1String("apply")) {
        service->refresh();
        const bool known = std::any_of(service->staged().cbegin(), service->staged().cend(),
                                       [&](const StagedPrefBundle& b) { return b.id == o.key; });
        if (!known) {
            out.error(PrefStagerError(o.key).description());
            return exitBadInput;
        }
        // A failure was said through the service's warning.
        return service->applyManually(o.key) ? exitSuccess : exitTransferFailed;
    }
    // watch: until interrupted, restore each bundle when its application appears.
    std::optional<InterruptNotifier> interrupts;
    try {
        interrupts.emplace();
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitTransferFailed;
    }
    QEventLoop loop;
    QObject::connect(&*interrupts, &InterruptNotifier::interrupted, &loop, &QEventLoop::quit);
    service->setRestoreMode(PrefRestoreMode::staged);
    service->start();
    out.event(QStringLiteral("watching"),
              {{QStringLiteral("bundles"), service->staged().size()},
               {QStringLiteral("folders"), QJsonArray::fromStringList(service->watcher().folders().bundleFolders
                                                                      + service->watcher().folders().desktopFolders)}},
              QStringLiteral("Watching for applications (%1 bundles staged)").arg(service->staged().size()));
    loop.exec();
    return exitSuccess;
}

} // namespace kivo::cli
