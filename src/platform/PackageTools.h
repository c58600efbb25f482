// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/CommandRunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// Where this system's package tools live. KIVO_FLATPAK, KIVO_SNAP, KIVO_APT_GET,
// KIVO_APT_MARK, KIVO_DPKG_QUERY and KIVO_FLATPAK_SYSTEM_DIR replace the defaults
// when set (an empty value: that tool is absent).
struct PackageToolPaths {
    QString flatpak, snap, aptGet, aptMark, dpkgQuery;
    QString flatpakSystemDir; // the system installation, for its remotes' keys
    static PackageToolPaths system();
};

// The package tools, run for one home: flatpak's per-user installation is that
// home's, and as root they run as the home's owner where the tool keeps per-user state.
class PackageTools {
public:
    PackageTools(PackageToolPaths paths, QString home);

    const PackageToolPaths& paths() const { return m_paths; }
    static bool present(const QString& tool);

    // Each tool's own listing, as it printed it; nothing when the tool is absent or failed.
    std::optional<QString> flatpakApps() const;
    std::optional<QString> flatpakRemotes() const;
    std::optional<QString> snapList() const;
    std::optional<QString> aptManual() const;
    // Every installed Debian package, one name a line.
    std::optional<QString> installedDebianPackages() const;
    // The GPG keyring flatpak keeps for a remote of that installation ("user" or "system");
    // empty when there is none or it is implausibly large.
    QByteArray flatpakRemoteKey(const QString& installation, const QString& remote) const;

    // Installs, each to its end; the result's output holds what the tool said, errors too.
    CommandResult flatpakAddRemote(const QString& name, const QString& url, const QByteArray& key) const;
    CommandResult flatpakInstall(const QString& remote, const QString& ref) const;
    CommandResult snapInstall(const QString& name, bool classic) const;
    CommandResult aptInstall(const QString& package) const;

    // Whether this process may install system packages.
    static bool isRoot();

private:
    CommandOptions flatpakOptions(std::chrono::milliseconds timeout) const;
    // A listing of the installations there are, the home's own only when it has one.
    std::optional<QString> flatpakListing(QStringList args) const;

    PackageToolPaths m_paths;
    QString m_home;
    std::optional<std::pair<unsigned, unsigned>> m_owner; // set when root works for another account
};

// The last line a tool printed, trimmed: usually the reason it failed.
QString lastLine(const QByteArray& output);

} // namespace kivo
