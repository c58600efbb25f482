// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultSourceSnapshot.h"

#include "categories/FileEnumeration.h"
#include "cli/VaultRun.h"
#include "platform/AccountHome.h"
#include "platform/HostNames.h"

#include <QDir>
#include <QJsonArray>
#include <QFileInfo>

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

namespace {

FlowExit exitFor(VaultErrorKind kind)
{
    switch (exitCodeFor(kind)) {
    case exitServiceUnavailable: return FlowExit::serviceUnavailable;
    case exitUnusableInput: return FlowExit::unusableInput;
    default: return FlowExit::transferFailed;
    }
}

// Snapshots what is about to be sent; throws VaultError.
VaultSnapshot takeSourceSnapshot(const VaultLocation& where, const VaultSettings& settings, const SnapshotRequest& request,
                                 VaultRun& run)
{
    // A folder vault missing there is made, with a random key beside it when no password is given.
    const bool fresh = !where.s3 && !QFileInfo::exists(QDir(where.folder).filePath(u"config"_s));
    SnapshotVault vault(ResticEngine::locate(), openAccess(where, settings, {std::nullopt, fresh}));
    vault.init();
    return vault.snapshot(request, [&run](const VaultProgress& p) { run.progress(p); });
}

// The files a listing sends from elsewhere under a home name: the lists made for the new Desktop.
QStringList writtenForTheSend(const files::Listing& listing, const UserFolders& home)
{
    QStringList out;
    for (const TransferManifest::FileItem& item : listing.items)
        if (item.absolutePath() != home.expandTilde(item.relativePath))
            out << item.relativePath;
    return out;
}

} // namespace

std::optional<VaultLocation> sourceVault(const SendOptions& o, const VaultSettings& profile)
{
    // An organisation that names a vault wants every send kept there.
    const bool due = o.vault || o.vaultSnapshot || !profile.storageType.trimmed().isEmpty();
    if (!due)
        return std::nullopt;
    return chooseLocation(o.vault, profile, o.home);
}

BeforeAdvertising sourceSnapshotStep(const SendOptions& o, const ProfileValues& profile)
{
    const VaultSettings settings = vaultSettingsFrom(profile);
    std::optional<VaultLocation> where;
    std::optional<VaultError> unusable; // told when the send would advertise, so nothing is
    try {
        where = sourceVault(o, settings);
    } catch (const VaultError& e) {
        unusable = e;
    }
    if (!where && !unusable)
        return {};
    auto options = std::make_shared<VaultOptions>();
    options->home = o.home;
    options->json = o.json;
    auto run = std::make_shared<VaultRun>(*options);
    return [where, unusable, settings, options, run, home = o.home](
               QStringList categories, QStringList folders, QString transferID,
               EngineeringItemsProvider developerItems) -> std::optional<FlowFailure> {
        try {
            if (unusable)
                throw *unusable;
            SnapshotRequest request;
            request.home = home;
            request.kind = u"source"_s;
            request.migrationID = transferID;
            request.host = thisHostName();
            request.username = host::ownerNameOf(home).value_or(host::loginUserName());
            request.principal = settings.principal;
            request.categories = categoryPaths(home, categories, folders);
            // Developer tools are no fixed list of folders: they are what the plan carries.
            const files::Listing developer = developerItems ? developerItems(std::nullopt) : files::Listing();
            for (auto& [id, paths] : request.categories)
                if (id == DataCategory::engineeringTools().id)
                    paths = files::topmostPaths(developer, UserFolders(home));
            const VaultSnapshot taken = takeSourceSnapshot(*where, settings, request, *run);
            QJsonObject fields = taken.toJson();
            QString line = u"Snapshot %1 of what is about to be sent is in %2."_s.arg(taken.id, where->repository());
            // They describe this computer as it is now, and the send carries them; a snapshot of the home has no place for them.
            if (const QStringList written = writtenForTheSend(developer, UserFolders(home)); !written.isEmpty()) {
                fields.insert(u"notInSnapshot"_s, QJsonArray::fromStringList(written));
                line += u" Not in it: %1, made for the new computer's Desktop by this send."_s.arg(written.join(u", "_s));
            }
            run->out.event(u"vaultSnapshot"_s, fields, line);
            return std::nullopt;
        } catch (const VaultError& e) {
            return FlowFailure{exitFor(e.kind()), u"the snapshot of what is about to be sent failed, so nothing was "
                                                  "advertised: %1"_s.arg(e.message())};
        }
    };
}

} // namespace kivo::cli
