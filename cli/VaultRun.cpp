// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultRun.h"

#include "cli/CliOptions.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/HostNames.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

QString absolute(const QString& path) { return QDir::cleanPath(QDir(path).absolutePath()); }

QString thisHostName()
{
    for (const QString& name : {host::localizedHostName(), host::networkHostName(), QSysInfo::machineHostName()})
        if (!name.isEmpty())
            return name;
    return u"localhost"_s;
}

VaultSettings vaultSettingsFrom(const ProfileValues& p)
{
    const auto text = [](const std::optional<QString>& v) { return v.value_or(QString()); };
    return VaultSettings{text(p.vaultStorageType), text(p.vaultBucketName), text(p.vaultPrefix), text(p.vaultRegion),
                         text(p.vaultEndpoint), text(p.vaultCredentialARN), text(p.awsAccessKeyID),
                         text(p.awsSecretAccessKey), text(p.vaultCredentialKeyID), text(p.vaultCredentialSecret),
                         text(p.userPrincipal).trimmed()};
}

VaultSettings profileVaultSettings()
{
    const ConfigurationProfileManager profile;
    return vaultSettingsFrom(profile.values());
}

SnapshotVault VaultRun::open(bool create, bool* created) const
{
    const VaultSettings settings = profileVaultSettings();
    const VaultLocation where = chooseLocation(options.vault, settings, options.home);
    ResticEngine engine = ResticEngine::locate();
    const bool fresh = !where.s3 && !QFileInfo::exists(QDir(where.folder).filePath(u"config"_s));
    SnapshotVault vault(engine, openAccess(where, settings, {options.passwordFile, create && fresh}));
    const bool made = create ? vault.init() : false;
    if (created)
        *created = made;
    return vault;
}

void VaultRun::progress(const VaultProgress& p)
{
    // A new phase always shows: it says what is happening now.
    if (!p.isFinal && p.phase == lastPhase && sinceProgress.isValid() && sinceProgress.elapsed() < 250)
        return;
    lastPhase = p.phase;
    if (!clock.isValid())
        clock.start();
    sinceProgress.start();
    if (out.isJson()) {
        QJsonObject o{{u"phase"_s, p.phase},         {u"category"_s, p.category},
                      {u"files"_s, double(p.files)}, {u"totalFiles"_s, double(p.totalFiles)},
                      {u"bytes"_s, double(p.bytes)}, {u"totalBytes"_s, double(p.totalBytes)}};
        if (p.secondsRemaining)
            o.insert(u"secondsRemaining"_s, *p.secondsRemaining);
        out.event(QStringLiteral("vaultProgress"), o);
        return;
    }
    ProgressSnapshot shown;
    shown.bytes = p.bytes;
    shown.totalBytes = p.totalBytes;
    shown.files = int(p.files);
    shown.totalFiles = int(p.totalFiles);
    const double seconds = double(clock.elapsed()) / 1000.0;
    shown.bytesPerSecond = seconds > 0 ? double(p.bytes) / seconds : 0;
    shown.secondsRemaining = p.secondsRemaining;
    shown.currentFile = p.currentFile.isEmpty() ? p.category : p.currentFile;
    shown.isFinal = p.isFinal;
    out.progress(shown);
}

int VaultRun::fail(const VaultError& e)
{
    if (out.isJson())
        out.event(QStringLiteral("error"), {{u"kind"_s, toString(e.kind())}, {u"error"_s, e.message()}});
    out.error(u"kivo-cli: vault: "_s + e.message());
    return exitCodeFor(e.kind());
}

} // namespace kivo::cli
