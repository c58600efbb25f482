// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultRun.h"

#include "cli/CliOptions.h"
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

SnapshotVault VaultRun::open(bool create, bool* created) const
{
    const QString folder = options.vault ? absolute(*options.vault) : defaultVaultFolder(options.home);
    ResticEngine engine = ResticEngine::locate();
    const bool fresh = !QFileInfo::exists(QDir(folder).filePath(u"config"_s));
    SnapshotVault vault(engine, resolveAccess(folder, {options.passwordFile, create && fresh}));
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
