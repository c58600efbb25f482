#include "cli/CliOptions.h"

#include "categories/HomeLayout.h"
#include "connection/PairingManager.h"
#include "platform/HostNames.h"
#include "transfer/ConflictPolicy.h"

#include <QDir>
#include <QUrl>

namespace kivo::cli {

namespace {

// Walks "--flag value" pairs; every flag but the boolean ones takes a value.
class ArgReader {
public:
    explicit ArgReader(const QStringList& args) : m_args(args) {}
    bool next(QString& flag)
    {
        if (m_index >= m_args.size())
            return false;
        flag = m_args.at(m_index++);
        if (!flag.startsWith(QLatin1String("--")))
            throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(flag));
        return true;
    }
    QString value(const QString& flag)
    {
        if (m_index >= m_args.size() || m_args.at(m_index).startsWith(QLatin1String("--")))
            throw UsageError(QStringLiteral("%1 needs a value").arg(flag));
        return m_args.at(m_index++);
    }

private:
    const QStringList& m_args;
    qsizetype m_index = 0;
};

[[noreturn]] void unknownFlag(const QString& flag)
{
    throw UsageError(QStringLiteral("unknown option \"%1\"").arg(flag));
}

int toInt(const QString& flag, const QString& text, int min, int max)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        throw UsageError(QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"").arg(flag).arg(min).arg(max).arg(text));
    return v;
}

QStringList toList(const QString& flag, const QString& text)
{
    QStringList out;
    for (const QString& part : text.split(u',')) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty())
            out << trimmed;
    }
    if (out.isEmpty())
        throw UsageError(QStringLiteral("%1 needs at least one name").arg(flag));
    return out;
}

QString absoluteHome(const QString& path) { return QDir::cleanPath(QDir(path).absolutePath()); }

// One pre-flight flag into `o`; false when `flag` is not one of them.
bool readPreflightFlag(const QString& flag, ArgReader& r, PreflightFlags& o)
{
    if (flag == QLatin1String("--destination-free-bytes")) {
        const QString v = r.value(flag);
        bool ok = false;
        const quint64 n = v.toULongLong(&ok);
        if (!ok || v.startsWith(u'+'))
            throw UsageError(QStringLiteral("--destination-free-bytes takes a number of bytes, not \"%1\"").arg(v));
        o.destinationFreeBytes = n;
    } else if (flag == QLatin1String("--connection")) {
        const QString v = r.value(flag);
        if (v != QLatin1String("wifi") && v != QLatin1String("ethernet") && v != QLatin1String("thunderbolt"))
            throw UsageError(QStringLiteral("--connection takes wifi, ethernet or thunderbolt, not \"%1\"").arg(v));
        o.connection = v;
    } else if (flag == QLatin1String("--include-derived")) {
        o.includeDerived = true;
    } else if (flag == QLatin1String("--export")) {
        o.exportPath = r.value(flag);
    } else if (flag == QLatin1String("--destination-home")) {
        o.destinationHome = absoluteHome(r.value(flag));
    } else if (flag == QLatin1String("--store-url")) {
        const QString v = r.value(flag);
        const QUrl url(v, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
            throw UsageError(QStringLiteral("--store-url takes an http or https address, not \"%1\"").arg(v));
        o.storeUrl = v;
    } else if (flag == QLatin1String("--offline")) {
        o.offline = true;
    } else {
        return false;
    }
    if (o.offline && o.storeUrl)
        throw UsageError(QStringLiteral("--store-url and --offline exclude each other"));
    return true;
}

QString toLayout(const QString& flag, const QString& value)
{
    if (value != QLatin1String("auto") && !parseLayoutName(value))
        throw UsageError(QStringLiteral("%1 takes auto, linux or macos, not \"%2\"").arg(flag, value));
    return value;
}

} // namespace

SendOptions parseSend(const QStringList& args)
{
    SendOptions o;
    o.home = QDir::homePath();
    o.hostname = host::displayHostName();
    o.username = host::loginUserName();
    ArgReader r(args);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--home"))
            o.home = r.value(flag);
        else if (flag == QLatin1String("--layout"))
            o.layout = toLayout(flag, r.value(flag));
        else if (flag == QLatin1String("--categories"))
            o.categories = toList(flag, r.value(flag));
        else if (flag == QLatin1String("--folders"))
            o.folders = toList(flag, r.value(flag));
        else if (flag == QLatin1String("--hostname"))
            o.hostname = r.value(flag);
        else if (flag == QLatin1String("--username"))
            o.username = r.value(flag);
        else if (flag == QLatin1String("--port"))
            o.port = static_cast<quint16>(toInt(flag, r.value(flag), 1, 65535));
        else if (flag == QLatin1String("--conflict-policy")) {
            const QString v = r.value(flag);
            if (!conflictPolicyFromString(v))
                throw UsageError(QStringLiteral("--conflict-policy takes skip, overwrite, keepNewer or ask, not \"%1\"").arg(v));
            o.conflictPolicy = v;
        } else if (flag == QLatin1String("--max-mbps"))
            o.maxMbps = toInt(flag, r.value(flag), 1, 1000000);
        else if (flag == QLatin1String("--allow-unverified-pairing"))
            o.allowUnverifiedPairing = true;
        else if (flag == QLatin1String("--json"))
            o.json = true;
        else if (flag == QLatin1String("--dev-include"))
            o.devInclude << toList(flag, r.value(flag));
        else if (flag == QLatin1String("--confirm-sensitive"))
            o.confirmSensitive = true;
        else if (!readPreflightFlag(flag, r, o.preflight))
            unknownFlag(flag);
    }
    if (o.hostname.contains(u'|') || o.username.contains(u'|'))
        throw UsageError(QStringLiteral("host and user names cannot contain \"|\""));
    o.home = absoluteHome(o.home);
    return o;
}

ReceiveOptions parseReceive(const QStringList& args)
{
    ReceiveOptions o;
    o.home = QDir::homePath();
    ArgReader r(args);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--home"))
            o.home = r.value(flag);
        else if (flag == QLatin1String("--code")) {
            const QString code = r.value(flag);
            if (!PairingManager::isWellFormedCode(code))
                throw UsageError(QStringLiteral("--code takes the six digits shown on the source, not \"%1\"").arg(code));
            o.code = code;
        } else if (flag == QLatin1String("--source"))
            o.source = r.value(flag);
        else if (flag == QLatin1String("--connect")) {
            const QString v = r.value(flag);
            const qsizetype colon = v.lastIndexOf(u':');
            if (colon <= 0)
                throw UsageError(QStringLiteral("--connect takes HOST:PORT, not \"%1\"").arg(v));
            o.connectHost = v.left(colon);
            if (o.connectHost->startsWith(u'[') && o.connectHost->endsWith(u']'))
                o.connectHost = o.connectHost->mid(1, o.connectHost->size() - 2);
            o.connectPort = static_cast<quint16>(toInt(flag, v.mid(colon + 1), 1, 65535));
        } else if (flag == QLatin1String("--timeout"))
            o.timeoutSeconds = toInt(flag, r.value(flag), 1, 86400);
        else if (flag == QLatin1String("--allow-unverified-pairing"))
            o.allowUnverifiedPairing = true;
        else if (flag == QLatin1String("--json"))
            o.json = true;
        else if (flag == QLatin1String("--user"))
            o.user = r.value(flag);
        else if (flag == QLatin1String("--source-home")) {
            const QString v = r.value(flag);
            if (!v.startsWith(u'/') || QDir::cleanPath(v) != v || v == QLatin1String("/"))
                throw UsageError(QStringLiteral("--source-home takes an absolute folder, not \"%1\"").arg(v));
            o.sourceHome = v;
        } else if (flag == QLatin1String("--pref-restore")) {
            const QString mode = r.value(flag);
            if (mode != QLatin1String("immediate") && mode != QLatin1String("staged") && mode != QLatin1String("manual"))
                throw UsageError(QStringLiteral("--pref-restore takes immediate, staged or manual, not \"%1\"").arg(mode));
            o.prefRestore = mode;
        } else if (flag == QLatin1String("--restore-window-days"))
            o.restoreWindowDays = toInt(flag, r.value(flag), 1, 3650);
        else
            unknownFlag(flag);
        if (flag == QLatin1String("--home"))
            o.homeGiven = true;
    }
    o.home = absoluteHome(o.home);
    return o;
}

HelperOptions parseHelper(const QStringList& args)
{
    HelperOptions o;
    if (args.isEmpty() || (args.first() != QLatin1String("status") && args.first() != QLatin1String("install")))
        throw UsageError(QStringLiteral("helper takes status or install"));
    o.action = args.first();
    const QStringList rest = args.mid(1);
    ArgReader r(rest);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--json") && o.action == QLatin1String("status"))
            o.json = true;
        else if (flag == QLatin1String("--unit-dir") && o.action == QLatin1String("install"))
            o.unitDir = QDir(r.value(flag)).absolutePath();
        else if (flag == QLatin1String("--socket") && o.action == QLatin1String("install"))
            o.socket = QDir(r.value(flag)).absolutePath();
        else if (flag == QLatin1String("--no-start") && o.action == QLatin1String("install"))
            o.start = false;
        else
            unknownFlag(flag);
    }
    return o;
}

StagedOptions parseStaged(const QStringList& args)
{
    StagedOptions o;
    o.home = QDir::homePath();
    static const QStringList actions = {QStringLiteral("list"), QStringLiteral("watch"), QStringLiteral("apply"),
                                        QStringLiteral("discard")};
    if (args.isEmpty() || !actions.contains(args.first()))
        throw UsageError(QStringLiteral("staged takes list, watch, apply KEY or discard KEY"));
    o.action = args.first();
    QStringList rest = args.mid(1);
    const bool needsKey = o.action == QLatin1String("apply") || o.action == QLatin1String("discard");
    if (needsKey) {
        if (rest.isEmpty() || rest.first().startsWith(QLatin1String("--")))
            throw UsageError(QStringLiteral("staged %1 needs a bundle key").arg(o.action));
        o.key = rest.takeFirst();
    }
    ArgReader r(rest);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--home"))
            o.home = r.value(flag);
        else if (flag == QLatin1String("--apps-dir") && !needsKey)
            o.appsDirs.append(QDir(r.value(flag)).absolutePath());
        else if (flag == QLatin1String("--json") && !needsKey)
            o.json = true;
        else
            unknownFlag(flag);
    }
    o.home = absoluteHome(o.home);
    return o;
}

DemoOptions parseDemo(const QStringList& args)
{
    DemoOptions o;
    o.workdir = QDir::tempPath() + QStringLiteral("/kivo-demo");
    ArgReader r(args);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--workdir"))
            o.workdir = r.value(flag);
        else if (flag == QLatin1String("--files"))
            o.files = toInt(flag, r.value(flag), 1, 1000000);
        else
            unknownFlag(flag);
    }
    o.workdir = absoluteHome(o.workdir);
    return o;
}

PreflightOptions parsePreflight(const QStringList& args)
{
    PreflightOptions o;
    o.home = QDir::homePath();
    ArgReader r(args);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--home"))
            o.home = r.value(flag);
        else if (flag == QLatin1String("--layout"))
            o.layout = toLayout(flag, r.value(flag));
        else if (flag == QLatin1String("--categories"))
            o.categories = toList(flag, r.value(flag));
        else if (flag == QLatin1String("--folders"))
            o.folders = toList(flag, r.value(flag));
        else if (flag == QLatin1String("--json"))
            o.json = true;
        else if (!readPreflightFlag(flag, r, o.flags))
            unknownFlag(flag);
    }
    o.home = absoluteHome(o.home);
    return o;
}

// ---- managed deployment ----

ProfileCheckOptions parseProfileCheck(const QStringList& args)
{
    ProfileCheckOptions o;
    QStringList rest = args;
    if (rest.isEmpty() || rest.first() != QLatin1String("check"))
        throw UsageError(QStringLiteral("profile needs a subcommand: check"));
    rest.removeFirst();
    if (!rest.isEmpty() && !rest.first().startsWith(QLatin1String("--")))
        o.file = rest.takeFirst();
    ArgReader r(rest);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--json"))
            o.json = true;
        else
            unknownFlag(flag);
    }
    return o;
}

ManagedOptions parseManaged(const QStringList& args)
{
    ManagedOptions o;
    ArgReader r(args);
    QString flag;
    while (r.next(flag)) {
        if (flag == QLatin1String("--profile"))
            o.profile = r.value(flag);
        else if (flag == QLatin1String("--home"))
            o.home = absoluteHome(r.value(flag));
        else if (flag == QLatin1String("--json"))
            o.json = true;
        else if (flag == QLatin1String("--discovery-timeout"))
            o.discoveryTimeoutSeconds = toInt(flag, r.value(flag), 1, 86400);
        else if (flag == QLatin1String("--pairing-timeout"))
            o.pairingTimeoutSeconds = toInt(flag, r.value(flag), 1, 86400);
        else
            unknownFlag(flag);
    }
    return o;
}

} // namespace kivo::cli
