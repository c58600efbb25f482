// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/PackageTools.h"
#include "postmigration/ReinstallList.h"

#include <QSet>

#include <functional>
#include <variant>

namespace kivo {

// The source's side: what its package tools say the user installed, each entry
// checked as a destination would, the user's flatpak remotes with their keys.
ReinstallList gatherReinstallList(const PackageTools& tools);

// A received list is checked where it landed: written again with every bad entry
// moved to `refused`, its owner and mode kept. False (and the file untouched) when
// it is no list at all, a link, or too large.
bool checkReceivedReinstallList(const QString& home, const QString& path);
// Whether a received file is the home's reinstall list.
bool isReinstallListPath(const QString& path);

// What is installed here, by kind.
struct InstalledPackages {
    QSet<QString> flatpaks, snaps, debs;
    bool contains(const ReinstallEntry& entry) const;
    static InstalledPackages read(const PackageTools& tools);
};

// The entries `ids` names ("org.gimp.GIMP", or "flatpak:org.gimp.GIMP" when kinds
// share an id), in list order; every entry for an empty `ids`. The first unknown id otherwise.
std::variant<QList<ReinstallEntry>, QString> selectEntries(const QList<ReinstallEntry>& entries, const QStringList& ids);

// How a flatpak reaches its remote here: one configured with the same URL, else
// one added under the source's name with the key it sent, else not at all.
struct RemoteChoice {
    enum class Action { reuse, add, refuse };
    Action action = Action::refuse;
    QString name;
    QString reason; // for refuse
};
RemoteChoice chooseRemote(const ReinstallEntry& entry, const QList<std::pair<QString, QString>>& configured);

enum class AppInstallState { queued, installing, installed, failed, skipped };
QString toString(AppInstallState state);

struct AppInstallEvent {
    ReinstallEntry entry;
    AppInstallState state = AppInstallState::queued;
    int percent = 0;
    QString reason; // why it failed or was skipped
};

// Installs chosen entries one after another with the real tools.
class AppReinstaller {
public:
    using Listener = std::function<void(const AppInstallEvent&)>;
    explicit AppReinstaller(const PackageTools& tools) : m_tools(tools) {}

    // The tool a not yet installed entry needs and this machine lacks; empty when all are here.
    QString missingTool(const QList<ReinstallEntry>& pending) const;

    struct Outcome {
        int installed = 0, failed = 0, skipped = 0;
    };
    // Already installed entries are skipped; every entry reports queued first, then its end.
    Outcome run(const QList<ReinstallEntry>& chosen, const InstalledPackages& installed, const Listener& listener);

private:
    AppInstallEvent installOne(const ReinstallEntry& entry, QList<std::pair<QString, QString>>& remotes);

    const PackageTools& m_tools;
};

} // namespace kivo
