// SPDX-License-Identifier: Apache-2.0
#include "cli/ManPage.h"

#include "cli/CommandTable.h"
#include "cli/HelpText.h"

#include <iterator>

#ifndef KIVO_RELEASE_DATE
#define KIVO_RELEASE_DATE "2026-12-01"
#endif

namespace kivo::cli {

namespace {

struct Entry {
    const char* name;
    const char* text;
};

// What the README says of each code, at full length.
const Entry kExitStatus[] = {
    {"0", "Success."},
    {"1", "A transfer failed, was cancelled (Ctrl-C included, before or after pairing) or had verification mismatches "
          "(also a peer silent for longer than two minutes mid-transfer: the checkpoint stays); a report was not written; "
          "a log post failed."},
    {"2", "Usage error: an unknown command or option, a missing argument or a bad value. Nothing else is printed "
          "on stdout, and at most two lines on stderr."},
    {"3", "Pairing failed, expired or the code was wrong, or the peer cannot pair securely."},
    {"4", "No source found in time."},
    {"5", "Refused: a pre-flight blocker (nothing was sent), a category or item the profile forbids, outside the profile's migration window, not managed "
          "or not enrolled."},
    {"6", "A named input is unusable: an unknown log id, staged bundle or --user, an unreadable or malformed "
          "profile, or a managed profile missing required keys."},
    {"7", "A system service kivo needs is unavailable: the privileged helper, the Secret Service, a locked "
          "default keychain collection, or the service discovery daemon (to find or be found by name)."},
};

const Entry kEnvironment[] = {
    {"KIVO_CONFIG_PROFILE", "The configuration profile, instead of /etc/kivo/com.kivo.config.plist."},
    {"KIVO_LOG_ENDPOINT", "Where finished logs are posted when the profile names no kivo.logMigrationsToEndpoint."},
    {"KIVO_LOG_POST_TIMEOUT_MS", "How long a log post may take."},
    {"KIVO_TELEMETRY_TIMEOUT", "Seconds a managed migration's telemetry post may take."},
    {"KIVO_RESTIC", "The restic the vault commands run, instead of the one on PATH (0.14 or later)."},
    {"KIVO_VAULT_PASSWORD_FILE", "The file holding the vault's password when --password-file is not given."},
    {"KIVO_STORE_URL", "The application store asked for applications not installed (preflight, send)."},
    {"KIVO_HELPER_SOCKET", "The privileged helper's socket, instead of /run/kivo/helper.sock."},
    {"KIVO_SYSFS", "Where power supplies are read, instead of /sys."},
    {"KIVO_APPLICATIONS_DIR", "The system's application bundle folder, instead of /Applications."},
    {"KIVO_DEFAULTS_TOOL", "A defaults-style tool that imports system settings on the destination."},
    {"KIVO_BREW", "Colon-separated places of brew; empty leaves it out."},
    {"KIVO_XCODE_SELECT", "The xcode-select tool; empty leaves it out."},
    {"KIVO_XCODE_APP", "The Xcode application; empty leaves it out."},
    {"KIVO_APT_MARK", "The apt-mark tool; empty leaves it out."},
    {"KIVO_FLATPAK", "The flatpak tool (apps, and the list a send takes along); empty leaves it out."},
    {"KIVO_SNAP", "The snap tool; empty leaves it out."},
    {"KIVO_APT_GET", "The apt-get tool apps install runs; empty leaves it out."},
    {"KIVO_DPKG_QUERY", "The dpkg-query tool that tells which packages are installed; empty leaves it out."},
    {"KIVO_FLATPAK_SYSTEM_DIR", "flatpak's system installation, for its remotes' keys, instead of /var/lib/flatpak."},
    {"KIVO_RBENV", "The rbenv tool; empty leaves it out."},
    {"KIVO_ENV_TOOL", "The env that runs npm, pip3 and gem; empty leaves them out."},
    {"KIVO_LOG_RULES", "Qt logging rules for kivo's own diagnostics on stderr."},
};

const Entry kFiles[] = {
    {"~/.local/share/kivo/reinstall.json", "The applications the source had from flatpak, snap and apt, checked on arrival; read by apps."},
    {"~/.local/share/kivo/logs/", "One log per send and receive; pending-posts/ holds those whose post failed."},
    {"~/.local/share/kivo/transfers/<transferID>.json", "The destination's checkpoint of an interrupted migration."},
    {"~/.local/share/kivo/outgoing-transfer.json", "The source's unfinished migration, resumed by the same send."},
    {"~/.kivo-staged-prefs/<bundle>/", "Settings held back until their application is installed."},
    {"/etc/kivo/com.kivo.config.plist", "The organisation's configuration profile."},
    {"/run/kivo/helper.sock", "The privileged helper's socket."},
    {"/etc/systemd/system/kivo-helper.service", "The unit helper install writes."},
};

void section(QString& out, const char* name) { out += QStringLiteral(".SH ") + QString::fromUtf8(name) + u'\n'; }

void tagged(QString& out, const QString& tag, const QString& text)
{
    out += QStringLiteral(".TP\n") + tag + u'\n' + roffEscape(text) + u'\n';
}

void entries(QString& out, const char* name, const Entry* begin, const Entry* end, const char* font)
{
    section(out, name);
    for (const Entry* e = begin; e != end; ++e)
        tagged(out, QStringLiteral("\\f%1%2\\fR").arg(QString::fromUtf8(font), roffEscape(QString::fromUtf8(e->name))),
               QString::fromUtf8(e->text));
}

QString optionTag(const OptionSpec& o)
{
    QString tag = QStringLiteral("\\fB\\-\\-%1\\fR").arg(roffEscape(o.name));
    if (o.takesValue())
        tag += QStringLiteral(" \\fI%1\\fR").arg(roffEscape(o.valueName));
    return tag;
}

void commands(QString& out)
{
    section(out, "COMMANDS");
    for (const CommandSpec& c : commandTable()) {
        out += QStringLiteral(".SS \"%1\"\n").arg(roffEscape(c.synopsis()));
        out += roffEscape(c.summary + u'.' + (c.description.isEmpty() ? QString() : u' ' + c.description)) + u'\n';
        for (const ArgumentSpec& a : c.arguments)
            tagged(out, QStringLiteral("\\fI%1\\fR").arg(roffEscape(a.name)), a.description + u'.');
        for (const OptionSpec& o : c.options)
            tagged(out, optionTag(o), optionDetails(o));
        QStringList codes;
        for (const int code : c.exitCodes)
            codes << QStringLiteral("%1 %2").arg(code).arg(c.exitMeaning(code));
        out += QStringLiteral(".PP\n") + roffEscape(QStringLiteral("Exit status: ") + codes.join(QStringLiteral("; ")) + u'.') + u'\n';
    }
}

} // namespace

const QList<JsonEventSpec>& jsonEvents()
{
    using namespace Qt::Literals::StringLiterals;
    static const QList<JsonEventSpec> events = {
        {u"advertising"_s, u"send"_s, u"code, port, hostname, username, transferID, secondsRemaining: a fresh code is shown"_s},
        {u"peerFound"_s, u"receive"_s, u"hostname, username, transport"_s},
        {u"pairingRetrying"_s, u"receive"_s, u"text: the source is busy pairing another attempt; trying again"_s},
        {u"paired"_s, u"send, receive"_s, u"transport, and peer on the destination"_s},
        {u"preflightChecks"_s, u"send"_s, u"checks: the readiness checks"_s},
        {u"preflightReport"_s, u"send"_s, u"report: the scan of what will travel"_s},
        {u"categoryStart"_s, u"send, receive, managed"_s, u"category, name"_s},
        {u"categoryComplete"_s, u"send, receive, managed"_s, u"category, files, bytes"_s},
        {u"progress"_s, u"send, receive, managed"_s,
         u"bytes, totalBytes, files, totalFiles, bytesPerSecond, currentFile, verifying, secondsRemaining"_s},
        {u"fileError"_s, u"send, receive, managed"_s, u"path, category, error"_s},
        {u"categoryImported"_s, u"receive"_s, u"category, imported, updated, failed: keychain items"_s},
        {u"verification"_s, u"send, receive, managed"_s, u"checked, skipped, mismatches"_s},
        {u"summary"_s, u"send, receive, managed"_s,
         u"role, filesCompleted, totalFiles, bytes, durationSeconds, bytesPerSecond, skipped, failed, verified, "
         "mismatches, conflictsResolved, cancelled, notTransferred, error"_s},
        {u"warning"_s, u"send, receive, managed"_s, u"text: also printed on stderr"_s},
        {u"codeRejected"_s, u"receive"_s, u"text: the source refused the code; also printed on stderr"_s},
        {u"error"_s, u"every command"_s,
         u"text, exitCode: why the command failed, the last event of a failing run; also printed on stderr"_s},
        {u"pathRewrite"_s, u"receive"_s, u"filePath, originalValue, rewrittenValue, key: the old home replaced by the new one"_s},
        {u"ownership"_s, u"receive"_s, u"via (helper or direct), filesProcessed, totalFiles, errors"_s},
        {u"staged"_s, u"receive, staged list"_s, u"key, displayName, files, triggers: settings held back"_s},
        {u"prefApplied"_s, u"receive, staged"_s, u"key, paths: settings restored"_s},
        {u"watching"_s, u"staged watch"_s, u"bundles, folders: the staged bundles and the folders watched for applications"_s},
        {u"discarded"_s, u"staged discard"_s, u"key"_s},
        {u"app"_s, u"apps list"_s, u"id, kind, installed, and branch, remote, url, hasKey for a flatpak"_s},
        {u"appRefused"_s, u"apps"_s, u"id, kind, reason: an entry of the list that failed its checks"_s},
        {u"appInstall"_s, u"apps install"_s, u"id, kind, state (queued, installing, installed, failed, skipped), percent, reason"_s},
        {u"appsInstalled"_s, u"apps install"_s, u"installed, failed, skipped"_s},
        {u"scanProgress"_s, u"preflight"_s, u"files, bytes scanned so far"_s},
        {u"preflight"_s, u"preflight"_s, u"everything the pre-flight found"_s},
        {u"exported"_s, u"preflight, send"_s, u"path of the report written"_s},
        {u"helper"_s, u"helper status"_s, u"available, version, socket"_s},
        {u"helperInstalled"_s, u"helper install"_s, u"unit, written: the unit file, and whether it was written or the packaged one kept"_s},
        {u"helperNotStarted"_s, u"helper install"_s, u"reason: systemd is not running, so the helper was not started"_s},
        {u"state"_s, u"managed"_s, u"state: the managed migration's state"_s},
        {u"error"_s, u"profile check, vault"_s, u"path, error: the profile cannot be read; kind, error: a vault command failed"_s},
        {u"vaultInit"_s, u"vault init"_s, u"vault, created: whether it was made now or already there"_s},
        {u"vaultProgress"_s, u"vault snapshot, vault restore"_s,
         u"phase (snapshot or restore), category, files, totalFiles, bytes, totalBytes, secondsRemaining"_s},
        {u"vaultSnapshot"_s, u"vault snapshot"_s,
         u"id, kind, time, host, username, home, migrationID, categories (category, engineSnapshot, files, bytes)"_s},
        {u"log"_s, u"log list"_s,
         u"one per migration log: id, timestampStart, overallStatus, sourceHostname, destinationHostname, "
         "totalBytesTransferred"_s},
        {u"snapshot"_s, u"vault list"_s, u"one per snapshot, with the fields of vaultSnapshot"_s},
        {u"vaultChecked"_s, u"vault check"_s, u"vault, readData: the vault is intact"_s},
        {u"vaultRestored"_s, u"vault restore"_s, u"id, target"_s},
        {u"vaultForgotten"_s, u"vault forget"_s, u"id: one per snapshot forgotten"_s},
    };
    return events;
}

QString roffEscape(const QString& text)
{
    QString out = text;
    out.replace(u'\\', QStringLiteral("\\e")).replace(u'-', QStringLiteral("\\-"));
    if (out.startsWith(u'.') || out.startsWith(u'\''))
        out.prepend(QStringLiteral("\\&"));
    return out;
}

QString releaseDate() { return QStringLiteral(KIVO_RELEASE_DATE); }

QString manPage(const QString& version, const QString& date)
{
    QString out = QStringLiteral(".TH KIVO-CLI 1 \"%1\" \"kivo %2\" \"User Commands\"\n").arg(date, version);
    section(out, "NAME");
    out += QStringLiteral("kivo\\-cli \\- move one person's data from an old computer to a new one\n");
    section(out, "SYNOPSIS");
    for (const CommandSpec& c : commandTable())
        out += roffEscape(c.synopsis()) + QStringLiteral("\n.br\n");
    out += QStringLiteral("kivo\\-cli \\-\\-version\n");
    section(out, "DESCRIPTION");
    out += roffEscape(QStringLiteral(
        "kivo-cli moves files, application data and preferences, the keychain, system settings, browser data and the "
        "developer environment from an old computer to a new one. The two machines find each other on the local "
        "network, pair with a six-digit code and stream everything over pinned TLS, resumably and verified end to "
        "end. Every command shows a live progress bar on a terminal, plain lines otherwise, or one JSON object per "
        "event with --json. COMMAND --help shows a command's options, examples and exit codes."))
           + u'\n';
    commands(out);
    section(out, "JSON EVENTS");
    out += roffEscape(QStringLiteral("With --json every line on stdout is one object whose \"event\" names it:")) + u'\n';
    for (const JsonEventSpec& e : jsonEvents())
        tagged(out, QStringLiteral("\\fB%1\\fR (%2)").arg(e.name, roffEscape(e.commands)), e.fields + u'.');
    entries(out, "EXIT STATUS", std::begin(kExitStatus), std::end(kExitStatus), "B");
    entries(out, "ENVIRONMENT", std::begin(kEnvironment), std::end(kEnvironment), "B");
    entries(out, "FILES", std::begin(kFiles), std::end(kFiles), "I");
    section(out, "EXAMPLES");
    for (const CommandSpec& c : commandTable())
        for (const QString& e : c.examples)
            out += QStringLiteral(".PP\n.nf\n") + roffEscape(e) + QStringLiteral("\n.fi\n");
    section(out, "SEE ALSO");
    out += QStringLiteral("\\fBkivo\\fR(1), \\fBkivo\\-helper\\fR(8)\n");
    return out;
}

} // namespace kivo::cli
