// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/PackageTools.h"
#include "postmigration/AppReinstaller.h"

#include <QObject>
#include <QPointer>
#include <QVariantList>

#include <variant>

namespace kivo {

class AppState;

// One application of the received list as the complete screen offers it.
struct ReinstallRow {
    ReinstallEntry entry;
    bool installedHere = false;
    QString blocker;  // why it cannot be installed from here; empty when it can
    bool checked = false;
    QString state;    // empty until an install ran: "queued", "installing", "installed", "failed", "skipped"
    int percent = 0;
    QString reason;   // what the tool said when it failed
};

// The rows for a list: what is missing and can be installed here is ticked;
// what is here already, or needs a tool or rights this process lacks, is shown unticked with why.
QList<ReinstallRow> offerRows(const QList<ReinstallEntry>& entries, const InstalledPackages& installed,
                              const PackageToolPaths& tools, bool root);

// The home's received list, each entry checked again: the file may have been edited since it
// arrived. The reason when there is none or it cannot be read.
std::variant<ReinstallList, QString> readReinstallList(const QString& home);

// A name for people: "GIMP" for "org.gimp.GIMP", the package name otherwise.
QString reinstallDisplayName(const ReinstallEntry& entry);

// The destination's offer to install again what the source had: the received
// list with a tick each, and the installs, one after another, off the screen's thread.
class ReinstallOffer : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList rows READ rowsView NOTIFY changed)
    Q_PROPERTY(bool available READ available NOTIFY changed)
    Q_PROPERTY(bool loading READ loading NOTIFY changed)
    Q_PROPERTY(bool installing READ installing NOTIFY changed)
    Q_PROPERTY(bool finished READ finished NOTIFY changed)
    Q_PROPERTY(int checkedCount READ checkedCount NOTIFY changed)
    Q_PROPERTY(QString outcomeText READ outcomeText NOTIFY changed)
public:
    // Follows the session: loads the list when a destination reaches the complete step.
    explicit ReinstallOffer(AppState* state, QObject* parent = nullptr);
    ~ReinstallOffer() override;

    // Reads the list in `home` and what is installed, off this thread.
    void load(const QString& home);
    Q_INVOKABLE void setChecked(int row, bool checked);
    // Installs the ticked rows; nothing while an install runs.
    Q_INVOKABLE void install();

    const QList<ReinstallRow>& rows() const { return m_rows; }
    QVariantList rowsView() const;
    bool available() const { return !m_rows.isEmpty(); }
    bool loading() const { return m_loading; }
    bool installing() const { return m_installing; }
    bool finished() const { return m_outcome.has_value(); }
    int checkedCount() const;
    QString outcomeText() const;

Q_SIGNALS:
    void changed();

private:
    void follow();
    void apply(const AppInstallEvent& event);

    QPointer<AppState> m_state;
    QList<ReinstallRow> m_rows;
    QString m_home;
    bool m_loading = false;
    bool m_installing = false;
    quint64 m_generation = 0;
    std::optional<AppReinstaller::Outcome> m_outcome;
};

} // namespace kivo
