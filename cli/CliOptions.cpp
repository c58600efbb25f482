// SPDX-License-Identifier: Apache-2.0
#include "cli/CliOptions.h"

#include "cli/ArgumentParser.h"
#include "cli/DemoCommand.h"
#include "cli/InspectCommand.h"
#include "connection/PairingManager.h"
#include "platform/HostNames.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace kivo::cli {

namespace {

const CommandSpec& spec(const char* name)
{
    const CommandSpec* c = findCommand(QString::fromUtf8(name));
    Q_ASSERT(c);
    return *c;
}

int toInt(const QString& flag, const QString& text, int min, int max)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        throw UsageError(QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"").arg(flag).arg(min).arg(max).arg(text));
    return v;
}

// The whole number an option was given, when it was.
std::optional<int> intOption(const ParsedArguments& p, const char* name, int min, int max)
{
    const QString option = QString::fromUtf8(name);
    if (!p.isSet(option))
        return std::nullopt;
    return toInt(QStringLiteral("--") + option, p.value(option), min, max);
}

std::optional<QString> textOption(const ParsedArguments& p, const QString& name)
{
    return p.isSet(name) ? std::optional(p.value(name)) : std::nullopt;
}

std::optional<QStringList> listOption(const ParsedArguments& p, const QString& name)
{
    return p.isSet(name) ? std::optional(p.values(name)) : std::nullopt;
}

QString absoluteHome(const QString& path) { return QDir::cleanPath(QDir(path).absolutePath()); }

QString homeOption(const ParsedArguments& p)
{
    return absoluteHome(p.isSet(QStringLiteral("home")) ? p.value(QStringLiteral("home")) : QDir::homePath());
}

} // namespace

void requireExistingHome(const QString& home)
{
    if (!QFileInfo(home).isDir())
        throw UsageError(QStringLiteral("home folder \"%1\" does not exist").arg(home));
}

namespace {

PreflightFlags preflightFlags(const ParsedArguments& p)
{
    PreflightFlags o;
    if (const std::optional<QString> v = textOption(p, QStringLiteral("destination-free-bytes"))) {
        bool ok = false;
        const quint64 n = v->toULongLong(&ok);
        if (!ok || v->startsWith(u'+'))
            throw UsageError(QStringLiteral("--destination-free-bytes takes a number of bytes, not \"%1\"").arg(*v));
        o.destinationFreeBytes = n;
    }
    o.connection = textOption(p, QStringLiteral("connection"));
    o.includeDerived = p.isSet(QStringLiteral("include-derived"));
    o.exportPath = textOption(p, QStringLiteral("export"));
    if (const std::optional<QString> v = textOption(p, QStringLiteral("destination-home")))
        o.destinationHome = absoluteHome(*v);
    if (const std::optional<QString> v = textOption(p, QStringLiteral("store-url"))) {
        const QUrl url(*v, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
            throw UsageError(QStringLiteral("--store-url takes an http or https address, not \"%1\"").arg(*v));
        o.storeUrl = v;
    }
    o.offline = p.isSet(QStringLiteral("offline"));
    if (o.offline && o.storeUrl)
        throw UsageError(QStringLiteral("--store-url and --offline exclude each other"));
    return o;
}

QString layoutOption(const ParsedArguments& p)
{
    return p.isSet(QStringLiteral("layout")) ? p.value(QStringLiteral("layout")) : QStringLiteral("auto");
}

} // namespace

SendOptions parseSend(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("send"), args);
    SendOptions o;
    o.home = homeOption(p);
    o.categories = listOption(p, QStringLiteral("categories"));
    o.folders = listOption(p, QStringLiteral("folders"));
    o.hostname = textOption(p, QStringLiteral("hostname")).value_or(host::displayHostName());
    o.username = textOption(p, QStringLiteral("username")).value_or(host::loginUserName());
    o.port = static_cast<quint16>(intOption(p, "port", 1, 65535).value_or(0));
    o.conflictPolicy = textOption(p, QStringLiteral("conflict-policy"));
    o.maxMbps = intOption(p, "max-mbps", 1, 1000000);
    o.allowUnverifiedPairing = p.isSet(QStringLiteral("allow-unverified-pairing"));
    o.json = p.isSet(QStringLiteral("json"));
    o.devInclude = p.values(QStringLiteral("dev-include"));
    o.confirmSensitive = p.isSet(QStringLiteral("confirm-sensitive"));
    o.vaultSnapshot = p.isSet(QStringLiteral("vault-snapshot"));
    o.vault = textOption(p, QStringLiteral("vault"));
    o.preflight = preflightFlags(p);
    o.layout = layoutOption(p);
    if (o.hostname.contains(u'|') || o.username.contains(u'|'))
        throw UsageError(QStringLiteral("host and user names cannot contain \"|\""));
    return o;
}

namespace {

// --from-vault takes the place of a source: nothing that finds or pairs with one goes with it.
void parseFromVault(const ParsedArguments& p, ReceiveOptions& o)
{
    o.fromVault = textOption(p, QStringLiteral("from-vault"));
    o.vault = textOption(p, QStringLiteral("vault"));
    o.passwordFile = textOption(p, QStringLiteral("password-file"));
    o.conflictPolicy = textOption(p, QStringLiteral("conflict-policy"));
    if (!o.fromVault) {
        for (const char* name : {"vault", "password-file", "conflict-policy"})
            if (p.isSet(QString::fromLatin1(name)))
                throw UsageError(QStringLiteral("--%1 goes with --from-vault").arg(QString::fromLatin1(name)));
        return;
    }
    for (const char* name : {"code", "source", "connect", "allow-unverified-pairing"})
        if (p.isSet(QString::fromLatin1(name)))
            throw UsageError(QStringLiteral("--from-vault has no source to reach: --%1 does not go with it").arg(QString::fromLatin1(name)));
    if (o.fromVault->isEmpty())
        throw UsageError(QStringLiteral("--from-vault takes a snapshot's id, or latest"));
}

} // namespace

ReceiveOptions parseReceive(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("receive"), args);
    ReceiveOptions o;
    o.home = homeOption(p);
    o.homeGiven = p.isSet(QStringLiteral("home"));
    if (const std::optional<QString> code = textOption(p, QStringLiteral("code"))) {
        if (!PairingManager::isWellFormedCode(*code))
            throw UsageError(QStringLiteral("--code takes the six digits shown on the source, not \"%1\"").arg(*code));
        o.code = code;
    }
    o.source = textOption(p, QStringLiteral("source"));
    if (const std::optional<QString> v = textOption(p, QStringLiteral("connect"))) {
        const qsizetype colon = v->lastIndexOf(u':');
        if (colon <= 0)
            throw UsageError(QStringLiteral("--connect takes HOST:PORT, not \"%1\"").arg(*v));
        QString host = v->left(colon);
        if (host.startsWith(u'[') && host.endsWith(u']'))
            host = host.mid(1, host.size() - 2);
        o.connectHost = host;
        o.connectPort = static_cast<quint16>(toInt(QStringLiteral("--connect"), v->mid(colon + 1), 1, 65535));
    }
    o.timeoutSeconds = intOption(p, "timeout", 1, 86400).value_or(o.timeoutSeconds);
    o.allowUnverifiedPairing = p.isSet(QStringLiteral("allow-unverified-pairing"));
    o.noVault = p.isSet(QStringLiteral("no-vault"));
    o.json = p.isSet(QStringLiteral("json"));
    o.user = textOption(p, QStringLiteral("user"));
    if (const std::optional<QString> v = textOption(p, QStringLiteral("source-home"))) {
        if (!v->startsWith(u'/') || QDir::cleanPath(*v) != *v || *v == QLatin1String("/"))
            throw UsageError(QStringLiteral("--source-home takes an absolute folder, not \"%1\"").arg(*v));
        o.sourceHome = v;
    }
    o.prefRestore = textOption(p, QStringLiteral("pref-restore"));
    o.restoreWindowDays = intOption(p, "restore-window-days", 1, 3650);
    parseFromVault(p, o);
    return o;
}

HelperOptions parseHelper(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("helper"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    HelperOptions o;
    o.action = args.first();
    o.json = p.isSet(QStringLiteral("json"));
    if (p.isSet(QStringLiteral("unit-dir")))
        o.unitDir = QDir(p.value(QStringLiteral("unit-dir"))).absolutePath();
    if (p.isSet(QStringLiteral("socket")))
        o.socket = QDir(p.value(QStringLiteral("socket"))).absolutePath();
    o.start = !p.isSet(QStringLiteral("no-start"));
    return o;
}

StagedOptions parseStaged(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("staged"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    StagedOptions o;
    o.action = args.first();
    o.key = p.positional().value(0);
    o.home = homeOption(p);
    for (const QString& dir : p.values(QStringLiteral("apps-dir")))
        o.appsDirs.append(QDir(dir).absolutePath());
    o.json = p.isSet(QStringLiteral("json"));
    return o;
}

DemoOptions parseDemo(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("demo"), args);
    DemoOptions o;
    o.workdir = absoluteHome(textOption(p, QStringLiteral("workdir")).value_or(defaultDemoWorkdir()));
    o.files = intOption(p, "files", 1, 1000000).value_or(o.files);
    return o;
}

PreflightOptions parsePreflight(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("preflight"), args);
    PreflightOptions o;
    o.home = homeOption(p);
    o.categories = listOption(p, QStringLiteral("categories"));
    o.folders = listOption(p, QStringLiteral("folders"));
    o.json = p.isSet(QStringLiteral("json"));
    o.flags = preflightFlags(p);
    o.layout = layoutOption(p);
    return o;
}

InspectOptions parseInspect(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("inspect"), args);
    InspectOptions o;
    o.home = homeOption(p);
    o.categories = listOption(p, QStringLiteral("categories"));
    o.json = p.isSet(QStringLiteral("json"));
    o.layout = layoutOption(p);
    return o;
}

// ---- managed deployment ----

ProfileCheckOptions parseProfileCheck(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("profile"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    ProfileCheckOptions o;
    if (!p.positional().isEmpty())
        o.file = p.positional().first();
    o.json = p.isSet(QStringLiteral("json"));
    return o;
}

ManagedOptions parseManaged(const QStringList& args)
{
    const ParsedArguments p = parseArguments(spec("managed"), args);
    ManagedOptions o;
    o.profile = textOption(p, QStringLiteral("profile"));
    if (p.isSet(QStringLiteral("home")))
        o.home = absoluteHome(p.value(QStringLiteral("home")));
    o.json = p.isSet(QStringLiteral("json"));
    o.discoveryTimeoutSeconds = intOption(p, "discovery-timeout", 1, 86400).value_or(o.discoveryTimeoutSeconds);
    o.pairingTimeoutSeconds = intOption(p, "pairing-timeout", 1, 86400).value_or(o.pairingTimeoutSeconds);
    return o;
}

} // namespace kivo::cli
