// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultSourceSnapshot.h"

#include "cli/VaultRun.h"
#include "platform/AccountHome.h"
#include "platform/HostNames.h"
#include "vault/VaultLocation.h"

#include <QDir>
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

} // namespace

std::optional<QString> sourceVaultFolder(const SendOptions& o, const ProfileValues& profile, QString* notice)
{
    if (o.vault)
        return absolute(*o.vault);
    const QString type = profile.vaultStorageType.value_or(QString());
    if (type == u"local" && profile.vaultPrefix && QDir::isAbsolutePath(*profile.vaultPrefix))
        return QDir::cleanPath(*profile.vaultPrefix);
    if (type == u"local")
        *notice = u"the profile's local vault needs an absolute folder in kivo.vaultPrefix"_s;
    else if (!type.isEmpty())
        *notice = u"the profile's \"%1\" vault is not supported yet (only \"local\")"_s.arg(type);
    if (o.vaultSnapshot)
        return defaultVaultFolder(o.home);
    return std::nullopt;
}

BeforeAdvertising sourceSnapshotStep(const SendOptions& o, const ProfileValues& profile)
{
    QString notice;
    const std::optional<QString> folder = sourceVaultFolder(o, profile, &notice);
    auto options = std::make_shared<VaultOptions>();
    options->home = o.home;
    options->json = o.json;
    auto run = std::make_shared<VaultRun>(*options);
    if (!notice.isEmpty())
        run->out.event(u"warning"_s, {{u"message"_s, notice}},
                       u"Warning: %1; %2"_s.arg(notice, folder ? u"the snapshot goes to %1"_s.arg(*folder)
                                                                : u"no snapshot is taken before sending"_s));
    if (!folder)
        return {};
    return [folder = *folder, options, run, home = o.home](QStringList categories, QStringList folders,
                                                           QString transferID) -> std::optional<FlowFailure> {
        try {
            const bool fresh = !QFileInfo::exists(QDir(folder).filePath(u"config"_s));
            SnapshotVault vault(ResticEngine::locate(), resolveAccess(folder, {std::nullopt, fresh}));
            vault.init();
            SnapshotRequest request;
            request.home = home;
            request.kind = u"source"_s;
            request.migrationID = transferID;
            request.host = thisHostName();
            request.username = host::ownerNameOf(home).value_or(host::loginUserName());
            request.categories = categoryPaths(home, categories, folders);
            const VaultSnapshot taken = vault.snapshot(request, [&run](const VaultProgress& p) { run->progress(p); });
            run->out.event(u"vaultSnapshot"_s, taken.toJson(),
                           u"Snapshot %1 of what is about to be sent is in %2."_s.arg(taken.id, folder));
            return std::nullopt;
        } catch (const VaultError& e) {
            return FlowFailure{exitFor(e.kind()), u"the snapshot of what is about to be sent failed, so nothing was "
                                                  "advertised: %1"_s.arg(e.message())};
        }
    };
}

} // namespace kivo::cli
