// SPDX-License-Identifier: Apache-2.0
#include "postmigration/PrefStager.h"

#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/Json.h"
#include "platform/Logging.h"

#include <QDir>
#include <QJsonArray>

#include <algorithm>

namespace kivo {
namespace {

constexpr qint64 kMaxManifestBytes = 16 * 1024 * 1024;

} // namespace

QJsonObject StagedPrefEntry::toJson() const
{
    QJsonObject o{{QStringLiteral("stagedPath"), stagedPath},
                  {QStringLiteral("destinationRelativePath"), destinationRelativePath},
                  {QStringLiteral("size"), double(size)}};
    if (mode)
        o.insert(QStringLiteral("mode"), int(*mode));
    return o;
}

StagedPrefEntry StagedPrefEntry::fromJson(const QJsonObject& o)
{
    StagedPrefEntry e;
    e.stagedPath = json::requireString(o, "stagedPath");
    e.destinationRelativePath = json::requireString(o, "destinationRelativePath");
    e.size = json::requireUInt64(o, "size");
    if (const auto mode = json::optionalUInt32(o, "mode")) {
        if (*mode > 07777)
            throw DecodingError(QStringLiteral("Invalid JSON: mode out of range"));
        e.mode = static_cast<std::uint16_t>(*mode);
    }
    return e;
}

QJsonObject StagedPrefBundle::toJson() const
{
    QJsonArray list;
    for (const StagedPrefEntry& e : entries)
        list.append(e.toJson());
    return {{QStringLiteral("id"), id},
            {QStringLiteral("displayName"), displayName},
            {QStringLiteral("triggers"), QJsonArray::fromStringList(triggers)},
            {QStringLiteral("entries"), list},
            {QStringLiteral("stagedAt"), json::formatDate(stagedAt)},
            {QStringLiteral("expiresAt"), json::formatDate(expiresAt)},
            {QStringLiteral("originatedFromMDM"), originatedFromMDM}};
}

StagedPrefBundle StagedPrefBundle::fromJson(const QJsonObject& o)
{
    StagedPrefBundle b;
    b.id = json::requireString(o, "id");
    b.displayName = json::requireString(o, "displayName");
    b.triggers = json::requireStringList(o, "triggers");
    b.entries = json::requireRecords<StagedPrefEntry>(o, "entries");
    b.stagedAt = json::requireDate(o, "stagedAt");
    b.expiresAt = json::requireDate(o, "expiresAt");
    b.originatedFromMDM = json::requireBool(o, "originatedFromMDM");
    return b;
}

QString PrefStagerError::description() const
{
    if (m_reason.isEmpty())
        return QStringLiteral("No staged-prefs bundle named '") + m_key + u'\'';
    return QStringLiteral("The staged-prefs bundle '") + m_key + QStringLiteral("' was not restored: ") + m_reason;
}

PrefStager::PrefStager(QString homeFolder) : m_home(QDir::cleanPath(homeFolder)) {}

// Opened on first use: a session is made before a receive creates its home.
HomeBeneath& PrefStager::beneath() const
{
    if (!m_beneath)
        m_beneath = std::make_unique<HomeBeneath>(m_home);
    return *m_beneath;
}

PrefStager::~PrefStager() = default;

QString PrefStager::stagingRoot() const
{
    return m_home + u'/' + QLatin1String(kFolderName);
}

bool PrefStager::isSafeBundleKey(const QString& key)
{
    return !key.isEmpty() && key.size() <= 200 && !key.startsWith(u'.') && !key.contains(u'/') && !key.contains(QChar(0));
}

std::optional<QString> PrefStager::destinationFor(const QString& relative) const
{
    QString inner = relative;
    if (inner.startsWith(QLatin1String("~/")))
        inner = inner.mid(2);
    else if (inner.startsWith(u'/'))
        inner = inner.mid(1);
    else
        return std::nullopt;
    if (inner.isEmpty() || inner.contains(QChar(0)))
        return std::nullopt;
    for (const QString& part : inner.split(u'/')) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    }
    if (inner == QLatin1String(kFolderName) || inner.startsWith(QLatin1String(kFolderName) + u'/'))
        return std::nullopt;
    return m_home + u'/' + inner;
}

StagedPrefBundle PrefStager::stage(const QString& bundleKey, const QString& displayName, const QStringList& triggers,
                                   const QList<StageInput>& files, std::chrono::seconds restoreWindow,
                                   bool originatedFromMDM, const QDateTime& now)
{
    if (!isSafeBundleKey(bundleKey))
        throw SystemError(QStringLiteral("\"%1\" cannot name a bundle folder").arg(bundleKey));
    const QString folder = stagingRoot() + u'/' + bundleKey;
    beneath().makeFolders(folder, std::nullopt);
    StagedPrefBundle bundle;
    bundle.id = bundleKey;
    bundle.displayName = displayName;
    bundle.triggers = triggers;
    for (const StageInput& input : files) {
        const std::optional<QString> origin = destinationFor(input.destinationRelativePath);
        if (!origin || *origin != QDir::cleanPath(input.sourceAbsolutePath))
            throw SystemError(QStringLiteral("%1: not a file of this home").arg(input.destinationRelativePath));
        const QString staged = folder + origin->mid(m_home.size());
        beneath().makeFolders(staged.left(staged.lastIndexOf(u'/')), std::nullopt);
        beneath().moveFile(*origin, staged);
        bundle.entries.append({staged, input.destinationRelativePath, input.size, input.mode});
    }
    bundle.stagedAt = now;
    bundle.expiresAt = now.addSecs(restoreWindow.count());
    fs::writeFileAtomically(folder + QStringLiteral("/bundle.json"), json::toFileBytes(bundle.toJson()));
    qCInfo(lcPrefStager, "Staged %lld files for %s", qlonglong(bundle.entries.size()), qUtf8Printable(bundleKey));
    return bundle;
}

std::optional<StagedPrefBundle> PrefStager::read(const QString& bundleKey) const
{
    if (!isSafeBundleKey(bundleKey))
        return std::nullopt;
    const QString manifest = stagingRoot() + u'/' + bundleKey + QStringLiteral("/bundle.json");
    try {
        UniqueFd fd = beneath().openRegularForReading(manifest);
        const std::uint64_t size = fs::sizeOf(fd);
        if (size > std::uint64_t(kMaxManifestBytes))
            return std::nullopt;
        QByteArray bytes(qsizetype(size), Qt::Uninitialized);
        const std::int64_t n = fs::readAt(fd, bytes.data(), bytes.size(), 0, manifest);
        bytes.truncate(n);
        StagedPrefBundle bundle = StagedPrefBundle::fromJson(json::parseObject(bytes));
        if (bundle.id != bundleKey)
            return std::nullopt;
        return bundle;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QStringList PrefStager::apply(const QString& bundleKey, ApplyConflict onConflict, const Placement& placement)
{
    const std::optional<StagedPrefBundle> bundle = read(bundleKey);
    if (!bundle)
        throw PrefStagerError(bundleKey);
    // Everything is checked before anything moves: a bundle that names a file
    // outside its folder, or a destination outside the home, restores nothing.
    const QString folder = stagingRoot() + u'/' + bundleKey;
    QList<std::pair<QString, QString>> moves;
    for (const StagedPrefEntry& e : bundle->entries) {
        const QString staged = QDir::cleanPath(e.stagedPath);
        const std::optional<QString> destination =
            destinationFor(placement ? placement(e.destinationRelativePath) : e.destinationRelativePath);
        if (staged != e.stagedPath || !staged.startsWith(folder + u'/') || staged == folder + QStringLiteral("/bundle.json")
            || !destination)
            throw PrefStagerError(bundleKey, QStringLiteral("it names a file outside its folder or the home"));
        if (!beneath().isDirectory(staged.left(staged.lastIndexOf(u'/'))))
            throw PrefStagerError(bundleKey, QStringLiteral("a link or no folder on the way to %1").arg(staged));
        if (const auto there = fs::status(staged, fs::Links::dontFollow); there && !there->isRegular())
            throw PrefStagerError(bundleKey, QStringLiteral("%1 is not a file").arg(staged));
        moves.append({staged, *destination});
    }
    QStringList restored;
    StagedPrefBundle left = *bundle;
    left.entries.clear();
    QString firstFailure;
    for (qsizetype i = 0; i < moves.size(); ++i) {
        const auto& [staged, destination] = moves[i];
        const auto there = fs::status(staged, fs::Links::dontFollow);
        if (!there) {
            qCWarning(lcPrefStager, "Staged file vanished: %s", qUtf8Printable(staged));
            continue;
        }
        try {
            beneath().makeFolders(destination.left(destination.lastIndexOf(u'/')), std::nullopt);
            if (fs::status(destination, fs::Links::dontFollow)) {
                if (onConflict == ApplyConflict::skip) {
                    qCInfo(lcPrefStager, "Skip existing %s", qUtf8Printable(destination));
                    continue;
                }
            }
            beneath().moveFile(staged, destination);
            restored.append(destination);
        } catch (const SystemError& e) {
            qCWarning(lcPrefStager).noquote() << "Could not restore" << destination << e.description();
            left.entries.append(bundle->entries[i]);
            if (firstFailure.isEmpty())
                firstFailure = e.description();
        }
    }
    // What could not go back stays staged, alone in its bundle, for another try.
    if (!left.entries.isEmpty()) {
        fs::writeFileAtomically(folder + QStringLiteral("/bundle.json"), json::toFileBytes(left.toJson()));
        throw PrefStagerError(bundleKey, QStringLiteral("%1 of %2 files stay staged (%3)")
                                             .arg(left.entries.size()).arg(moves.size()).arg(firstFailure));
    }
    beneath().removeTree(folder);
    qCInfo(lcPrefStager, "Applied %s: %lld files", qUtf8Printable(bundleKey), qlonglong(restored.size()));
    return restored;
}

QList<StagedPrefBundle> PrefStager::listStaged() const
{
    QList<StagedPrefBundle> out;
    QStringList names;
    try {
        if (beneath().resolveError(stagingRoot()))
            return out;
        names = beneath().entries(stagingRoot());
    } catch (const SystemError&) {
        return out; // no home (yet), or no store in it
    }
    for (const QString& name : std::as_const(names)) {
        if (std::optional<StagedPrefBundle> bundle = read(name))
            out.append(*bundle);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const StagedPrefBundle& a, const StagedPrefBundle& b) { return a.stagedAt < b.stagedAt; });
    return out;
}

void PrefStager::remove(const QString& bundleKey)
{
    if (!read(bundleKey))
        throw PrefStagerError(bundleKey);
    beneath().removeTree(stagingRoot() + u'/' + bundleKey);
}

QStringList PrefStager::discardExpired(const QDateTime& now)
{
    QStringList keys;
    for (const StagedPrefBundle& b : listStaged()) {
        if (b.expiresAt < now) {
            beneath().removeTree(stagingRoot() + u'/' + b.id);
            keys.append(b.id);
        }
    }
    if (!keys.isEmpty())
        qCInfo(lcPrefStager, "Discarded %lld expired bundle(s)", qlonglong(keys.size()));
    return keys;
}

} // namespace kivo
