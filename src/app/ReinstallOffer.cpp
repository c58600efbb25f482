// SPDX-License-Identifier: Apache-2.0
#include "app/ReinstallOffer.h"

#include "app/AppState.h"
#include "platform/Logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QtConcurrent>

namespace kivo {

namespace {

const QString& toolFor(const PackageToolPaths& tools, ReinstallEntry::Kind kind)
{
    switch (kind) {
    case ReinstallEntry::Kind::flatpak: return tools.flatpak;
    case ReinstallEntry::Kind::snap: return tools.snap;
    case ReinstallEntry::Kind::apt: break;
    }
    return tools.aptGet;
}

QString toolName(ReinstallEntry::Kind kind)
{
    return kind == ReinstallEntry::Kind::apt ? QStringLiteral("apt-get") : toString(kind);
}

QString kindLabel(ReinstallEntry::Kind kind)
{
    switch (kind) {
    case ReinstallEntry::Kind::flatpak: return QStringLiteral("Flatpak");
    case ReinstallEntry::Kind::snap: return QStringLiteral("Snap");
    case ReinstallEntry::Kind::apt: break;
    }
    return QStringLiteral("Debian package");
}

// Runs on the screen's thread once it gets there; dropped when the offer is gone by then.
void onScreenThread(QPointer<ReinstallOffer> offer, std::function<void(ReinstallOffer&)> fn)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [offer, fn = std::move(fn)] {
            if (offer)
                fn(*offer);
        },
        Qt::QueuedConnection);
}

} // namespace

QList<ReinstallRow> offerRows(const QList<ReinstallEntry>& entries, const InstalledPackages& installed,
                              const PackageToolPaths& tools, bool root)
{
    QList<ReinstallRow> rows;
    for (const ReinstallEntry& e : entries) {
        ReinstallRow row{e, installed.contains(e), {}, false, {}, 0, {}};
        if (!row.installedHere) {
            if (!PackageTools::present(toolFor(tools, e.kind)))
                row.blocker = QStringLiteral("%1 is not installed on this computer").arg(toolName(e.kind));
            else if (e.kind == ReinstallEntry::Kind::apt && !root)
                row.blocker = QStringLiteral("Needs administrator rights: sudo kivo-cli apps install %1").arg(e.id);
        }
        row.checked = !row.installedHere && row.blocker.isEmpty();
        rows << row;
    }
    return rows;
}

std::variant<ReinstallList, QString> readReinstallList(const QString& home)
{
    const QString path = reinstallListPath(home);
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("No list of applications to reinstall in %1: it comes with a migration from another computer")
            .arg(home);
    QFile file(path);
    if (info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 is not a readable list file").arg(path);
    // The list came from the other computer: its size bounds the work of reading it.
    if (info.size() > kMaxReinstallListBytes)
        return QStringLiteral("%1 is larger than %2 MiB, too large for a list of applications; nothing was read")
            .arg(path)
            .arg(kMaxReinstallListBytes / (1024 * 1024));
    std::optional<ReinstallList> list = ReinstallList::fromJson(file.read(kMaxReinstallListBytes));
    if (!list)
        return QStringLiteral("%1 is not a list of applications").arg(path);
    return *list;
}

QString reinstallDisplayName(const ReinstallEntry& entry)
{
    if (entry.kind != ReinstallEntry::Kind::flatpak)
        return entry.id;
    const QString last = entry.id.section(u'.', -1);
    return last.isEmpty() ? entry.id : last;
}

ReinstallOffer::ReinstallOffer(AppState* state, QObject* parent) : QObject(parent), m_state(state)
{
    if (state)
        connect(state, &AppState::currentStepChanged, this, &ReinstallOffer::follow);
}

ReinstallOffer::~ReinstallOffer() = default;

void ReinstallOffer::follow()
{
    const bool destinationDone = m_state->currentStep() == MigrationStep::complete
                                 && m_state->deviceRole() == DeviceRole::destination;
    if (destinationDone) {
        const auto& mapping = m_state->confirmedUserMapping();
        load(mapping ? mapping->destinationHomeFolder : m_state->environment().homeFolder);
    } else if (!m_installing && (!m_rows.isEmpty() || m_outcome)) {
        ++m_generation;
        m_rows.clear();
        m_outcome.reset();
        Q_EMIT changed();
    }
}

void ReinstallOffer::load(const QString& home)
{
    if (m_installing)
        return;
    m_home = home;
    m_loading = true;
    m_outcome.reset();
    Q_EMIT changed();
    const quint64 generation = ++m_generation;
    QPointer<ReinstallOffer> self(this);
    (void)QtConcurrent::run([home, self, generation] {
        QList<ReinstallRow> rows;
        const auto list = readReinstallList(home);
        if (const auto* problem = std::get_if<QString>(&list)) {
            qCInfo(lcAppCompat).noquote() << *problem;
        } else {
            const PackageToolPaths paths = PackageToolPaths::system();
            const InstalledPackages installed = InstalledPackages::read(PackageTools(paths, home));
            rows = offerRows(std::get<ReinstallList>(list).entries, installed, paths, PackageTools::isRoot());
        }
        onScreenThread(self, [rows, generation](ReinstallOffer& offer) {
            if (generation != offer.m_generation)
                return;
            offer.m_rows = rows;
            offer.m_loading = false;
            Q_EMIT offer.changed();
        });
    });
}

void ReinstallOffer::setChecked(int row, bool checked)
{
    if (m_installing || row < 0 || row >= m_rows.size())
        return;
    ReinstallRow& r = m_rows[row];
    if (r.installedHere || !r.blocker.isEmpty() || r.checked == checked || r.state == QLatin1String("installed"))
        return;
    r.checked = checked;
    Q_EMIT changed();
}

void ReinstallOffer::install()
{
    QList<ReinstallEntry> chosen;
    for (const ReinstallRow& r : std::as_const(m_rows))
        if (r.checked && r.state != QLatin1String("installed"))
            chosen << r.entry;
    if (m_installing || m_loading || chosen.isEmpty())
        return;
    m_installing = true;
    m_outcome.reset();
    Q_EMIT changed();
    QPointer<ReinstallOffer> self(this);
    (void)QtConcurrent::run([home = m_home, chosen, self] {
        const PackageTools tools(PackageToolPaths::system(), home);
        AppReinstaller reinstaller(tools);
        const AppReinstaller::Outcome outcome
            = reinstaller.run(chosen, InstalledPackages::read(tools), [self](const AppInstallEvent& event) {
                  onScreenThread(self, [event](ReinstallOffer& offer) { offer.apply(event); });
              });
        onScreenThread(self, [outcome](ReinstallOffer& offer) {
            offer.m_installing = false;
            offer.m_outcome = outcome;
            Q_EMIT offer.changed();
        });
    });
}

void ReinstallOffer::apply(const AppInstallEvent& event)
{
    for (ReinstallRow& r : m_rows) {
        if (r.entry.kind != event.entry.kind || r.entry.id != event.entry.id)
            continue;
        r.state = toString(event.state);
        r.percent = event.percent;
        r.reason = event.reason;
        if (event.state == AppInstallState::installed || event.state == AppInstallState::skipped) {
            r.installedHere = true;
            r.checked = false;
        }
        if (event.state == AppInstallState::failed)
            qCWarning(lcAppCompat).noquote() << "Installing" << event.entry.qualifiedId() << "failed:" << event.reason;
        Q_EMIT changed();
        return;
    }
}

int ReinstallOffer::checkedCount() const
{
    return int(std::count_if(m_rows.cbegin(), m_rows.cend(), [](const ReinstallRow& r) { return r.checked; }));
}

QString ReinstallOffer::outcomeText() const
{
    if (!m_outcome)
        return {};
    QStringList parts;
    if (m_outcome->installed > 0)
        parts << QStringLiteral("%1 installed").arg(m_outcome->installed);
    if (m_outcome->failed > 0)
        parts << QStringLiteral("%1 failed").arg(m_outcome->failed);
    if (m_outcome->skipped > 0)
        parts << QStringLiteral("%1 already installed").arg(m_outcome->skipped);
    return parts.join(QStringLiteral(", "));
}

QVariantList ReinstallOffer::rowsView() const
{
    QVariantList out;
    for (const ReinstallRow& r : m_rows) {
        QString detail = kindLabel(r.entry.kind) + QStringLiteral(" · ") + r.entry.id;
        if (r.entry.kind == ReinstallEntry::Kind::flatpak && !r.entry.remote.isEmpty())
            detail += QStringLiteral(" · ") + r.entry.remote;
        QString status = r.state;
        if (status.isEmpty() && r.installedHere)
            status = QStringLiteral("present");
        out << QVariantMap{{QStringLiteral("name"), reinstallDisplayName(r.entry)},
                           {QStringLiteral("detail"), detail},
                           {QStringLiteral("checked"), r.checked},
                           {QStringLiteral("selectable"), !r.installedHere && r.blocker.isEmpty()},
                           {QStringLiteral("status"), status},
                           {QStringLiteral("percent"), r.percent},
                           {QStringLiteral("note"), r.state == QLatin1String("failed") ? r.reason : r.blocker}};
    }
    return out;
}

} // namespace kivo
