// SPDX-License-Identifier: Apache-2.0
#include "managed/ConfigurationProfileManager.h"

#include "categories/DataCategory.h"
#include "platform/Logging.h"
#include "platform/ManagedPreferencesPaths.h"
#include "platform/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace kivo {

namespace {

const QString kPresenceKeys[] = {QStringLiteral("kivo.allowedDataCategories"), QStringLiteral("kivo.brandingName"),
                                 QStringLiteral("kivo.allowUserOverride")};

// An inline or referenced app manifest larger than this is not a manifest.
constexpr qint64 kMaxAppManifestBytes = 4 * 1024 * 1024;

QString typeName(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Bool: return QStringLiteral("a boolean");
    case QMetaType::LongLong:
    case QMetaType::ULongLong: return QStringLiteral("an integer");
    case QMetaType::Double: return QStringLiteral("a real");
    case QMetaType::QString: return QStringLiteral("text");
    case QMetaType::QVariantList: return QStringLiteral("an array");
    case QMetaType::QVariantMap: return QStringLiteral("a dictionary");
    case QMetaType::QDateTime: return QStringLiteral("a date");
    case QMetaType::QByteArray: return QStringLiteral("data");
    default: return QStringLiteral("another type");
    }
}

bool isNumber(const QVariant& v)
{
    const int t = v.typeId();
    return t == QMetaType::LongLong || t == QMetaType::ULongLong || t == QMetaType::Double;
}

std::optional<ConnectionType> connectionTypeFrom(const QString& text)
{
    if (text == QLatin1String("wifi"))
        return ConnectionType::wifi;
    if (text == QLatin1String("ethernet"))
        return ConnectionType::ethernet;
    if (text == QLatin1String("thunderbolt"))
        return ConnectionType::thunderbolt;
    return std::nullopt;
}

bool isKnownCategory(const QString& id)
{
    for (const DataCategory& c : DataCategory::allCategories())
        if (c.id == id)
            return true;
    return false;
}

// One pass over the domain in table order: each method reads one key by its
// rule into its target, records what it read as, and notes what falls back.
class Reader {
public:
    explicit Reader(const QVariantMap& domain) : m_domain(domain) {}

    ProfileReading take() { return std::move(m_out); }
    void note(const QString& key, QString message) { m_out.findings.append({key, std::move(message)}); }
    QList<ProfileFinding>& findings() { return m_out.findings; }

    void boolean(const QString& key, bool& target)
    {
        const QVariant v = m_domain.value(key);
        if (!m_domain.contains(key))
            return show(key, {});
        bool value = false;
        if (v.typeId() == QMetaType::Bool) {
            value = v.toBool();
        } else if (isNumber(v)) {
            value = v.toDouble() != 0;
        } else if (v.typeId() == QMetaType::QString) {
            const QString s = v.toString().toLower();
            value = s == QLatin1String("true") || s == QLatin1String("yes") || s == QLatin1String("1");
            if (!value && s != QLatin1String("false") && s != QLatin1String("no") && s != QLatin1String("0"))
                note(key, QStringLiteral("\"%1\" is not a boolean: reads as false").arg(v.toString()));
        } else {
            note(key, QStringLiteral("expected a boolean, found %1: reads as false").arg(typeName(v)));
        }
        target = value;
        show(key, value);
    }

    // Integers, truncated reals and decimal text; anything else reads as 0, and below 1 is none.
    void positiveInteger(const QString& key, std::optional<int>& target)
    {
        if (!m_domain.contains(key))
            return show(key, {});
        const QVariant v = m_domain.value(key);
        double value = 0;
        static const QRegularExpression decimal(QStringLiteral("^-?[0-9]+$"));
        bool numeric = true;
        if (isNumber(v)) {
            value = v.typeId() == QMetaType::Double ? std::trunc(v.toDouble()) : v.toDouble();
        } else if (v.typeId() == QMetaType::QString && decimal.match(v.toString()).hasMatch()) {
            value = v.toString().toDouble();
        } else {
            numeric = false;
            note(key, QStringLiteral("expected an integer, found %1: none").arg(typeName(v)));
        }
        if (value < 1) {
            if (numeric)
                note(key, QStringLiteral("below 1: none"));
            target = std::nullopt;
        } else {
            target = value > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(value);
        }
        show(key, target ? QJsonValue(*target) : QJsonValue());
    }

    void text(const QString& key, std::optional<QString>& target, bool secret = false)
    {
        if (!m_domain.contains(key))
            return show(key, {});
        const QVariant v = m_domain.value(key);
        if (v.typeId() != QMetaType::QString) {
            note(key, QStringLiteral("expected text, found %1: ignored").arg(typeName(v)));
            return show(key, {});
        }
        target = v.toString();
        show(key, secret ? QStringLiteral("(set)") : *target);
    }

    // Only an array of text; any other member makes the whole list absent.
    std::optional<QStringList> textList(const QString& key)
    {
        if (!m_domain.contains(key)) {
            show(key, {});
            return std::nullopt;
        }
        const QVariant v = m_domain.value(key);
        QStringList out;
        bool ok = v.typeId() == QMetaType::QVariantList;
        if (ok)
            for (const QVariant& member : v.toList()) {
                if (member.typeId() != QMetaType::QString) {
                    ok = false;
                    break;
                }
                out << member.toString();
            }
        if (!ok) {
            note(key, v.typeId() == QMetaType::QVariantList ? QStringLiteral("a member is not text: ignored")
                                                            : QStringLiteral("expected an array of text, found %1: ignored")
                                                                  .arg(typeName(v)));
            show(key, {});
            return std::nullopt;
        }
        show(key, QJsonArray::fromStringList(out));
        return out;
    }

    void url(const QString& key, std::optional<QUrl>& target, bool httpOnly)
    {
        std::optional<QString> raw;
        text(key, raw);
        if (!raw)
            return;
        const QUrl parsed(*raw, QUrl::StrictMode);
        const bool http = parsed.scheme() == QLatin1String("http") || parsed.scheme() == QLatin1String("https");
        const bool ok = parsed.isValid() && !parsed.isRelative() && (!httpOnly || (http && !parsed.host().isEmpty()));
        if (!ok) {
            note(key, httpOnly ? QStringLiteral("not an absolute http(s) URL: none") : QStringLiteral("not a URL: none"));
            return show(key, {});
        }
        target = parsed;
    }

    void time(const QString& key, std::optional<ClockTime>& target)
    {
        std::optional<QString> raw;
        text(key, raw);
        if (!raw)
            return;
        target = parseTimeString(*raw);
        if (!target)
            note(key, QStringLiteral("not a time of day (HH:MM): the window is not checked"));
        show(key, target ? QJsonValue(target->text()) : QJsonValue());
    }

    // What the key read as, after its rule.
    void show(const QString& key, QJsonValue value) { m_out.shownValues.insert(key, value); }

private:

    const QVariantMap& m_domain;
    ProfileReading m_out;
};

// Every key, in the order of the key table.
QString key(const char* name) { return QLatin1String("kivo.") + QLatin1String(name); }

void noteUnknownCategories(Reader& r, const QString& k, const QStringList& ids)
{
    for (const QString& id : ids)
        if (!isKnownCategory(id))
            r.note(k, QStringLiteral("unknown category \"%1\"").arg(id));
}

// A text that must be one of `names` (compared exactly, or ignoring case); otherwise `fallback` is noted.
void noteUnlessOneOf(Reader& r, const char* name, const std::optional<QString>& value,
                     std::initializer_list<const char*> names, const QString& fallback,
                     Qt::CaseSensitivity cs = Qt::CaseSensitive)
{
    if (!value)
        return;
    for (const char* n : names)
        if (value->compare(QLatin1String(n), cs) == 0)
            return;
    r.note(key(name), fallback.arg(*value));
}

void readConnectionTypes(Reader& r, ProfileValues& p)
{
    const auto list = r.textList(key("allowedConnectionTypes"));
    if (!list)
        return;
    QList<ConnectionType> types;
    for (const QString& name : *list) {
        if (const auto t = connectionTypeFrom(name); t && !types.contains(*t))
            types << *t;
        else if (!t)
            r.note(key("allowedConnectionTypes"), QStringLiteral("unknown connection type \"%1\": dropped").arg(name));
    }
    if (!types.isEmpty())
        p.allowedConnectionTypes = types;
    QJsonArray names;
    for (ConnectionType t : p.allowedConnectionTypes)
        names.append(toString(t));
    r.show(key("allowedConnectionTypes"), names);
}

// What shapes an interactive migration: categories, branding, connection, window, policy.
void readSessionKeys(Reader& r, ProfileValues& p)
{
    if (auto list = r.textList(key("allowedDataCategories"))) {
        noteUnknownCategories(r, key("allowedDataCategories"), *list);
        p.allowedDataCategories = *list;
    }
    r.text(key("brandingName"), p.brandingName);
    r.boolean(key("allowUserOverride"), p.allowUserOverride);
    r.boolean(key("requireAdminApproval"), p.requireAdminApproval);
    r.positiveInteger(key("maxTransferSizeMB"), p.maxTransferSizeMB);
    readConnectionTypes(r, p);
    r.time(key("migrationWindowStart"), p.migrationWindowStart);
    r.time(key("migrationWindowEnd"), p.migrationWindowEnd);
    r.url(key("logMigrationsToEndpoint"), p.logMigrationsToEndpoint, true);
    r.url(key("brandingLogoURL"), p.brandingLogoURL, false);
    r.boolean(key("enableDemoMode"), p.enableDemoMode);
    r.boolean(key("transferDataForMissingApps"), p.transferDataForMissingApps);
    r.boolean(key("engineeringToolsEnabled"), p.engineeringToolsEnabled);
    r.boolean(key("engineeringToolsAuditReportInLog"), p.engineeringToolsAuditReportInLog);
    r.boolean(key("engineeringToolsSensitiveOptInAllowed"), p.engineeringToolsSensitiveOptInAllowed);
    r.boolean(key("engineeringToolsDevDirectoriesAllowed"), p.engineeringToolsDevDirectoriesAllowed);
    r.positiveInteger(key("maxTransferMbps"), p.maxTransferMbps);
    r.text(key("conflictPolicy"), p.conflictPolicy);
    noteUnlessOneOf(r, "conflictPolicy", p.conflictPolicy, {"skip", "overwrite", "keepNewer", "ask"},
                    QStringLiteral("unknown policy \"%1\": skip applies"), Qt::CaseInsensitive);
    r.text(key("prefRestoreMode"), p.prefRestoreMode);
    noteUnlessOneOf(r, "prefRestoreMode", p.prefRestoreMode, {"immediate", "staged", "manual"},
                    QStringLiteral("unknown mode \"%1\": staged applies"));
    r.positiveInteger(key("prefRestoreWindowDays"), p.prefRestoreWindowDays);
    r.text(key("mdmAppManifestPath"), p.mdmAppManifestPath);
    r.text(key("mdmAppManifestJSON"), p.mdmAppManifestJSON);
}

// What an unattended run needs: its mode, role, principal, source, telemetry and credentials.
void readManagedKeys(Reader& r, ProfileValues& p)
{
    r.text(key("deploymentMode"), p.deploymentMode);
    noteUnlessOneOf(r, "deploymentMode", p.deploymentMode, {"managed", "interactive"},
                    QStringLiteral("\"%1\" is not \"managed\": interactive applies"));
    r.text(key("deploymentRole"), p.deploymentRole);
    noteUnlessOneOf(r, "deploymentRole", p.deploymentRole, {"source", "destination"},
                    QStringLiteral("unknown role \"%1\": destination applies"));
    r.text(key("userPrincipal"), p.userPrincipal);
    r.text(key("migrationSource"), p.migrationSource);
    noteUnlessOneOf(r, "migrationSource", p.migrationSource, {"auto", "bonjour", "thunderbolt"},
                    QStringLiteral("unknown source \"%1\": auto applies"));
    if (auto list = r.textList(key("migrationCategories"))) {
        noteUnknownCategories(r, key("migrationCategories"), *list);
        p.migrationCategories = *list;
    }
    r.boolean(key("requireManagedSource"), p.requireManagedSource);
    r.url(key("telemetryEndpoint"), p.telemetryEndpoint, true);
    r.text(key("vaultStorageType"), p.vaultStorageType);
    r.text(key("vaultBucketName"), p.vaultBucketName);
    r.text(key("vaultRegion"), p.vaultRegion);
    r.text(key("vaultPrefix"), p.vaultPrefix);
    r.text(key("vaultEndpoint"), p.vaultEndpoint);
    r.text(key("vaultCredentialARN"), p.vaultCredentialARN, true);
    r.text(key("awsAccessKeyID"), p.awsAccessKeyID, true);
    r.text(key("awsSecretAccessKey"), p.awsSecretAccessKey, true);
    r.text(key("vaultCredentialKeyID"), p.vaultCredentialKeyID, true);
    r.text(key("vaultCredentialSecret"), p.vaultCredentialSecret, true);
    r.text(key("pairingSecret"), p.pairingSecret, true);
    if (p.pairingSecret && p.pairingSecret->size() < kMinimumPairingSecretLength) {
        r.note(key("pairingSecret"),
               QStringLiteral("shorter than %1 characters: not used").arg(kMinimumPairingSecretLength));
        p.pairingSecret.reset();
    }
    r.boolean(key("allowUnverifiedPairing"), p.allowUnverifiedPairing);
}

// Every key in the table's order.
void readAllKeys(Reader& r, ProfileValues& p)
{
    readSessionKeys(r, p);
    readManagedKeys(r, p);
}
} // namespace

QString ClockTime::text() const
{
    return QStringLiteral("%1:%2").arg(hour, 2, 10, QLatin1Char('0')).arg(minute, 2, 10, QLatin1Char('0'));
}

std::optional<ClockTime> parseTimeString(const QString& text)
{
    const QStringList parts = text.split(u':');
    if (parts.size() != 2)
        return std::nullopt;
    int values[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        // Digits only: no sign, no space, nothing a lenient number parser would forgive.
        if (parts[i].isEmpty() || parts[i].size() > 4)
            return std::nullopt;
        for (QChar c : parts[i])
            if (c < u'0' || c > u'9')
                return std::nullopt;
        values[i] = parts[i].toInt();
    }
    if (values[0] > 23 || values[1] > 59)
        return std::nullopt;
    return ClockTime{values[0], values[1]};
}

bool isWithinWindow(const std::optional<ClockTime>& start, const std::optional<ClockTime>& end, QTime now)
{
    if (!start || !end)
        return true;
    const int at = now.hour() * 60 + now.minute();
    const int from = start->minutesSinceMidnight();
    const int to = end->minutesSinceMidnight();
    return from <= to ? (at >= from && at <= to) : (at >= from || at <= to);
}

ProfileReading readProfileDomain(const QVariantMap& domain)
{
    ProfileValues values;
    Reader reader(domain);
    readAllKeys(reader, values);
    ProfileReading reading = reader.take();

    const QJsonObject& shown = reading.shownValues;
    for (auto it = domain.begin(); it != domain.end(); ++it)
        if (it.key().startsWith(QLatin1String("kivo.")) && !shown.contains(it.key()))
            reading.findings.append({it.key(), QStringLiteral("unknown key: ignored")});

    bool present = false;
    for (const QString& k : kPresenceKeys)
        present = present || domain.contains(k);
    if (!present) {
        // Without one of these the profile is not ours to apply.
        for (auto it = domain.begin(); it != domain.end(); ++it)
            if (it.key().startsWith(QLatin1String("kivo.")) && shown.contains(it.key()))
                reading.findings.append(
                    {it.key(), QStringLiteral("ignored: the profile sets none of kivo.allowedDataCategories, "
                                              "kivo.brandingName, kivo.allowUserOverride")});
        reading.values = ProfileValues{};
        return reading;
    }
    values.isProfilePresent = true;
    reading.values = std::move(values);
    return reading;
}

ProfileDomain openProfileDomain(const QString& path)
{
    ProfileDomain out{path, std::nullopt, {}};
    const QFileInfo info(path);
    if (info.isDir()) {
        out.error = QStringLiteral("%1: is a folder, not a property list").arg(path);
        return out;
    }
    QString why;
    const auto document = plist::readFile(path, &why);
    if (!document) {
        out.error = QStringLiteral("%1: %2").arg(path, why.isEmpty() ? QStringLiteral("unreadable") : why);
        return out;
    }
    if (document->root.typeId() != QMetaType::QVariantMap) {
        out.error = QStringLiteral("%1: the root is not a dictionary").arg(path);
        return out;
    }
    out.contents = document->root.toMap();
    return out;
}

QString effectiveProfilePath()
{
    const QString fromEnvironment = qEnvironmentVariable("KIVO_CONFIG_PROFILE");
    return fromEnvironment.isEmpty() ? managedpaths::defaultProfilePath() : fromEnvironment;
}

ConfigurationProfileManager::ConfigurationProfileManager(QString path, QObject* parent) : QObject(parent)
{
    if (path.isEmpty())
        path = effectiveProfilePath();
    // No file where the system keeps it means no profile; anything else that
    // fails to open is worth a line.
    if (path == managedpaths::defaultProfilePath() && !QFileInfo::exists(path)) {
        m_domain.path = path;
        return;
    }
    m_domain = openProfileDomain(path);
    if (m_domain.contents)
        m_reading = readProfileDomain(*m_domain.contents);
    else
        qCCritical(lcApp).noquote() << "Configuration profile not applied:" << m_domain.error;
}

ConfigurationProfileManager::ConfigurationProfileManager(const QVariantMap& domain, QObject* parent)
    : QObject(parent), m_reading(readProfileDomain(domain))
{
    m_domain.contents = domain;
}

bool ConfigurationProfileManager::isCategoryAllowed(const QString& id) const { return categoryProfile().isCategoryAllowed(id); }

bool ConfigurationProfileManager::isConnectionTypeAllowed(ConnectionType type) const
{
    return values().allowedConnectionTypes.contains(type);
}

bool ConfigurationProfileManager::isWithinMigrationWindow(const QDateTime& now) const
{
    return isWithinWindow(values().migrationWindowStart, values().migrationWindowEnd, now.toLocalTime().time());
}

ManagedDeploymentConfig ConfigurationProfileManager::resolvedManagedDeployment() const
{
    const ProfileValues& p = values();
    ManagedDeploymentConfig c;
    c.deploymentMode = p.deploymentMode == QStringLiteral("managed") ? DeploymentMode::managed : DeploymentMode::interactive;
    c.userPrincipal = p.userPrincipal;
    if (p.migrationSource == QStringLiteral("bonjour"))
        c.migrationSource = ManagedMigrationSource::bonjour;
    else if (p.migrationSource == QStringLiteral("thunderbolt"))
        c.migrationSource = ManagedMigrationSource::thunderbolt;
    c.migrationCategories = p.migrationCategories;
    c.requireManagedSource = p.requireManagedSource;
    c.deploymentRole = p.deploymentRole == QStringLiteral("source") ? DeploymentRole::source : DeploymentRole::destination;
    c.telemetryEndpoint = p.telemetryEndpoint;
    c.brandingName = p.brandingName;
    c.pairingSecret = p.pairingSecret;
    c.allowUnverifiedPairing = p.allowUnverifiedPairing;
    return c;
}

std::optional<QJsonObject> ConfigurationProfileManager::loadMDMAppManifest() const
{
    QByteArray bytes;
    if (values().mdmAppManifestJSON) {
        bytes = values().mdmAppManifestJSON->toUtf8();
    } else if (values().mdmAppManifestPath) {
        QFile file(*values().mdmAppManifestPath);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxAppManifestBytes)
            return std::nullopt;
        bytes = file.read(kMaxAppManifestBytes + 1);
    } else {
        return std::nullopt;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

CategoryProfile ConfigurationProfileManager::categoryProfile() const
{
    return {values().isProfilePresent, values().allowedDataCategories, values().allowUserOverride};
}

std::optional<ConflictPolicy> ConfigurationProfileManager::conflictPolicyOverride() const
{
    if (!values().conflictPolicy)
        return std::nullopt;
    return conflictPolicyLenient(*values().conflictPolicy);
}

} // namespace kivo
