// SPDX-License-Identifier: Apache-2.0
#include "cli/CommandTable.h"

#include "categories/DataCategory.h"

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

namespace {

using L = QStringList;

CommandSpec command(const QString& name, const QString& summary, const QString& description)
{
    CommandSpec c;
    c.name = name;
    c.summary = summary;
    c.description = description;
    return c;
}


OptionSpec flag(const char* name, const char* description) { return value(name, "", description); }

OptionSpec oneOf(const char* name, const char* valueName, const char* description, const L& allowed,
                 const char* defaultValue = "")
{
    OptionSpec o = value(name, valueName, description, defaultValue);
    o.allowed = allowed;
    return o;
}

OptionSpec listOf(const char* name, const char* valueName, const char* description, const L& allowed = {},
                  bool repeatable = false)
{
    OptionSpec o = value(name, valueName, description);
    o.allowed = allowed;
    o.list = true;
    o.repeatable = repeatable;
    return o;
}

OptionSpec home(const char* description = "The home folder to work on.")
{
    return value("home", "DIR", description, "your home folder");
}

OptionSpec json() { return flag("json", "Print one JSON object per line, one per event, and nothing else on stdout."); }

const L kConnections = {u"wifi"_s, u"ethernet"_s, u"thunderbolt"_s};
const L kLayouts = {u"auto"_s, u"linux"_s, u"macos"_s};

OptionSpec layout()
{
    return oneOf("layout", "LAYOUT", "How the home folder is laid out; auto tells it from the folders it holds.", kLayouts,
                 "auto");
}

// The pre-flight choices `preflight` and `send` share.
QList<OptionSpec> preflightOptions()
{
    return {
        value("destination-home", "DIR", "A folder on this machine standing for the destination's home: its disk is checked."),
        value("destination-free-bytes", "N", "The destination's free space in bytes, instead of reading it."),
        oneOf("connection", "TYPE", "The link the duration is estimated for.", kConnections, "wifi"),
        value("store-url", "URL", "The application store asked for missing applications (http or https).",
              "$KIVO_STORE_URL"),
        flag("offline", "Ask no application store."),
        flag("include-derived", "Keep what a tool regenerates (node_modules, build folders, virtual environments)."),
        value("export", "FILE|DIR", "Write the pre-flight report there; a folder gets a file named by the time."),
    };
}

CommandSpec sendCommand(const L& categories)
{
    CommandSpec send = command(u"send"_s, u"Offer this home and send it to the computer that pairs"_s,
                     u"Advertises on the local network, shows the six-digit code (a fresh one every minute until "
                     "someone pairs), runs the pre-flight checks and sends the selection once the destination has "
                     "typed the code."_s);
    send.options = {
        home("The home folder to send."),
        listOf("categories", "ID,...", "The categories to send.", categories),
        listOf("folders", "NAME,...", "Only these folders of the home, for userFiles."),
        value("hostname", "NAME", "The name the destination sees.", "this computer's name"),
        value("username", "NAME", "The user name the destination sees.", "your login name"),
        value("port", "N", "The TCP port to listen on.", "any free port"),
        oneOf("conflict-policy", "POLICY", "What the destination does with a file it already has; nobody is asked at the "
                                           "command line, so ask decides as skip does.",
              {u"skip"_s, u"overwrite"_s, u"keepNewer"_s, u"ask"_s}, "skip"),
        value("max-mbps", "N", "Cap the transfer at N megabits per second."),
        flag("allow-unverified-pairing", "Pair with a destination that cannot pair securely (no keychain then)."),
        flag("confirm-sensitive", "Confirm the keychain's warning without a terminal to ask on."),
        json(),
        listOf("dev-include", "NAME,...", "Developer items to send as well (.ssh, .aws, development folders...).", {}, true),
        layout(),
        flag("vault-snapshot", "Snapshot what is about to be sent into a vault first, one restic snapshot per category "
                               "(automatic when the profile names a vault)."),
        value("vault", "L", "The vault for --vault-snapshot: a folder, or s3:https://HOST[:PORT]/BUCKET[/PREFIX] "
                            "(http only on this machine).", "the profile's, else <home>/.local/share/kivo/vault"),
    };
    send.options += preflightOptions();
    send.examples = {u"kivo-cli send --home /home/ann --categories userFiles --folders Documents,Pictures"_s,
                     u"kivo-cli send --categories userFiles,keychain --confirm-sensitive --json"_s,
                     u"kivo-cli send --categories userFiles,engineeringTools --dev-include .ssh,Projects"_s};
    send.exitCodes = {0, 1, 2, 3, 5, 6, 7};
    send.exitNotes = {{5, u"refused: a pre-flight blocker, a category or item the profile forbids, or outside the profile's migration window; nothing was sent"_s},
                      {6, u"the vault for the snapshot before sending cannot be used: no password or another "
                          "one, no keys for the object store, or the profile's vault settings are incomplete"_s},
                      {7, u"the keychain was chosen but the Secret Service is missing or locked, or restic is "
                          "missing, the vault locked or its object store unreachable"_s}};
    return send;
}

CommandSpec receiveCommand()
{
    CommandSpec receive = command(u"receive"_s, u"Find or reach a source, pair and receive into this home"_s,
                        u"Lists the sources on the local network (or connects to --connect), takes --source or the only "
                        "one, asks at a terminal for the code while it connects, and writes into --home, adapting what "
                        "arrives to the destination account."_s);
    receive.options = {
        home("The home folder to receive into."),
        value("code", "NNNNNN", "The six digits the source shows; asked for at a terminal otherwise."),
        value("source", "HOSTNAME", "The source to pair with when several are found."),
        value("connect", "HOST:PORT", "Connect straight to the source's port instead of looking for it."),
        value("timeout", "SECONDS", "How long to look for the source.", "120"),
        flag("allow-unverified-pairing", "Pair with a source that cannot pair securely (no keychain then)."),
        flag("no-vault", "Write without first snapshotting what would be replaced into the home's vault."),
        json(),
        value("user", "NAME", "The account to receive for; its home is the default --home."),
        value("source-home", "DIR", "The source's home folder, when the files cannot tell it."),
        oneOf("pref-restore", "MODE", "When held-back application settings come back.",
              {u"immediate"_s, u"staged"_s, u"manual"_s}, "the profile's, else staged"),
        value("restore-window-days", "N", "How long staged settings wait for their application.", "the profile's, else 7"),
        value("from-vault", "SNAP|latest", "Receive a send's snapshot from a vault instead of a source on the network "
                                           "(no source, no code); latest is the newest."),
        value("vault", "L", "The vault for --from-vault: a folder, or s3:https://HOST[:PORT]/BUCKET[/PREFIX] "
                            "(http only on this machine).", "the profile's, else <home>/.local/share/kivo/vault"),
        value("password-file", "FILE", "The password of the vault for --from-vault.",
              "$KIVO_VAULT_PASSWORD_FILE, else the profile's, else the vault.key beside the vault"),
        oneOf("conflict-policy", "POLICY", "With --from-vault: what to do with a file that is here already.",
              {u"skip"_s, u"overwrite"_s, u"keepNewer"_s}, "skip"),
    };
    receive.examples = {u"kivo-cli receive --connect 192.168.1.20:47011 --code 123456"_s,
                        u"kivo-cli receive --user bob --source-home /Users/ann --pref-restore manual"_s,
                        u"kivo-cli receive --from-vault latest --vault /media/backup/kivo --user bob"_s};
    receive.exitCodes = {0, 1, 2, 3, 4, 5, 6, 7};
    receive.exitNotes = {{1, u"the transfer failed, or the vault's snapshot was forgotten meanwhile; the same command again "
                             "resumes"_s},
                         {5, u"refused: outside the profile's migration window"_s},
                         {6, u"no account named by --user; with --from-vault: no such snapshot or vault, a wrong "
                             "or missing password, or no keys for the object store"_s},
                         {7, u"the keychain arrived but could not be imported: the Secret Service is missing or the "
                             "keyring locked (the rest is in place; run inside the desktop session with it unlocked, "
                             "then the same commands again); no service discovery daemon to find the source by (--connect needs none); with "
                             "--from-vault: restic is missing or older than 0.14, or the vault is locked or did not "
                             "answer"_s}};
    return receive;
}

CommandSpec preflightCommand(const L& categories)
{
    CommandSpec preflight = command(u"preflight"_s, u"Check a home before migrating it: sizes, space, checks"_s,
                          u"Shows the size of the selection, the applications not installed, the disk-space line, the "
                          "readiness checks and what the scan leaves out, with the estimated duration."_s);
    preflight.options = {home("The home folder to check."), listOf("categories", "ID,...", "The categories to check.", categories),
                         listOf("folders", "NAME,...", "Only these folders of the home, for userFiles."), json(), layout()};
    preflight.options += preflightOptions();
    preflight.examples = {u"kivo-cli preflight --home /home/ann --categories userFiles,applicationData --offline"_s,
                          u"kivo-cli preflight --home /home/ann --destination-home /mnt/new/ann --export ~/reports --json"_s};
    preflight.exitCodes = {0, 1, 2, 5};
    preflight.exitNotes = {{1, u"the report could not be exported"_s},
                           {5, u"a blocker stops the migration: an unreadable home, too little space, a category the profile forbids"_s}};
    return preflight;
}

void addMigrationCommands(QList<CommandSpec>& t)
{
    const L categories = categoryIds(true);
    t << sendCommand(categories) << receiveCommand() << preflightCommand(categories);
}

void addInspectionCommands(QList<CommandSpec>& t)
{
    CommandSpec inspect = command(u"inspect"_s, u"Show what each category would move from a home; moves nothing"_s,
                        u"Runs the category handlers over the home folder and lists what they would send."_s);
    inspect.options = {home("The home folder to inspect."),
                       listOf("categories", "ID,...", "The categories to inspect.", categoryIds(false)), json(), layout()};
    inspect.examples = {u"kivo-cli inspect --home /home/ann --categories keychain,systemSettings --json"_s};
    inspect.exitCodes = {0, 1, 2};
    inspect.exitNotes = {{1, u"a category could not be read"_s}, {2, u"usage error, or no such home folder"_s}};
    t << inspect;

    CommandSpec demo = command(u"demo"_s, u"Migrate a sample home between two local kivo-cli processes"_s,
                     u"Builds a sample Linux home, sends its files, settings, application and browser data over loopback to a "
                     "second kivo-cli, each side in a private session bus and keyring, and proves what arrived."_s);
    demo.options = {value("workdir", "DIR", "Where the sample and its copy are made.", "$TMPDIR/kivo-demo"),
                    value("files", "N", "How many sample files.", "120")};
    demo.examples = {u"kivo-cli demo --workdir /tmp/demo --files 500"_s};
    demo.exitCodes = {0, 1, 2, 7};
    demo.exitNotes = {{1, u"a proof of what arrived failed, or a side did not finish"_s},
                      {7, u"no private session bus, keyring or settings service could be started"_s}};
    t << demo;

    CommandSpec devtools = command(u"devtools"_s, u"Report a home's developer tools, their plan and audit"_s,
                         u"Asks the tools installed for the home (package managers, version managers, editors) and "
                         "measures its development folders."_s);
    devtools.options = {
        home("The home folder to scan."), json(), flag("plan", "Show the migration plan and the files it would send."),
        listOf("include", "NAME,...", "Sensitive items and development folders to include in the plan.", {}, true),
        oneOf("dest-arch", "ARCH", "The destination's processor, for the plan.", {u"arm64"_s, u"x86_64"_s}, "this one's"),
        oneOf("connection", "TYPE", "The link the duration is estimated for.", kConnections, "wifi"),
        value("report", "PATH", "Write the audit report there (a folder gets kivo-engineering-audit-<date>.md)."),
    };
    devtools.examples = {u"kivo-cli devtools --home /home/ann"_s,
                         u"kivo-cli devtools --json --plan --include .ssh,Projects --dest-arch arm64"_s,
                         u"kivo-cli devtools --report ~/Desktop"_s};
    devtools.exitCodes = {0, 1, 2};
    devtools.exitNotes = {{1, u"the report could not be written"_s}, {2, u"usage error, also an unknown --include name"_s}};
    t << devtools;
}

// Logs and profiles: what a migration leaves and what governs it.
void addRecordCommands(QList<CommandSpec>& t)
{
    const ArgumentSpec logId{u"ID|latest"_s, u"A log's id, or the newest one"_s, true};
    CommandSpec logList = command(u"log list"_s, u"List the migration logs of a home"_s,
                        u"Every send and receive leaves one log in <home>/.local/share/kivo/logs."_s);
    logList.options = {home(), json()};
    logList.examples = {u"kivo-cli log list --home /home/ann --json"_s};
    logList.exitCodes = {0, 2};
    t << logList;

    CommandSpec logShow = command(u"log show"_s, u"Show one migration log"_s, u"Prints the log as it was written."_s);
    logShow.arguments = {logId};
    logShow.options = {home()};
    logShow.examples = {u"kivo-cli log show latest"_s};
    logShow.exitCodes = {0, 2, 6};
    logShow.exitNotes = {{6, u"no log with that id"_s}};
    t << logShow;

    CommandSpec logExport = command(u"log export"_s, u"Write every log of a home as JSON lines"_s,
                          u"One log per line, to a file written in one step or to stdout."_s);
    logExport.options = {home(), value("out", "FILE", "The file to write.", "stdout")};
    logExport.examples = {u"kivo-cli log export --out logs.jsonl"_s};
    logExport.exitCodes = {0, 1, 2};
    logExport.exitNotes = {{1, u"the file could not be written"_s}};
    t << logExport;

    CommandSpec logPost = command(u"log post"_s, u"Post a finished log to an HTTP endpoint"_s,
                        u"Posts to URL, else the profile's kivo.logMigrationsToEndpoint, else $KIVO_LOG_ENDPOINT. A log "
                        "whose post failed waits in logs/pending-posts."_s);
    logPost.arguments = {{logId.name, logId.description, false}, {u"URL"_s, u"Where to post"_s, false}};
    logPost.options = {home(), flag("pending", "Post every log whose post failed earlier, once each.")};
    logPost.examples = {u"kivo-cli log post latest https://logs.example.org/migrations"_s, u"kivo-cli log post --pending"_s};
    logPost.exitCodes = {0, 1, 2, 6};
    logPost.exitNotes = {{1, u"the post failed; the log waits in pending-posts"_s}, {6, u"no log with that id"_s}};
    t << logPost;

    CommandSpec profile = command(u"profile check"_s, u"Read a configuration profile and say what is wrong with it"_s,
                        u"Reads FILE, else $KIVO_CONFIG_PROFILE, else the system's profile."_s);
    profile.arguments = {{u"FILE"_s, u"The profile to read"_s, false}};
    profile.options = {json()};
    profile.examples = {u"kivo-cli profile check /etc/kivo/com.kivo.config.plist --json"_s};
    profile.exitCodes = {0, 1, 2, 6};
    profile.exitNotes = {{0, u"the profile is clean"_s}, {1, u"the profile has findings"_s},
                         {6, u"the profile is unreadable, malformed or misses required keys"_s}};
    t << profile;
}

// The applications the source had from its package tools, installed again here.
void addAppsCommands(QList<CommandSpec>& t)
{
    CommandSpec list = command(u"apps list"_s, u"List the applications to reinstall and whether they are here"_s,
                     u"A migration from a Linux computer leaves the flatpaks, snaps and Debian packages its user installed in "
                     "~/.local/share/kivo/reinstall.json; entries that failed their checks are shown refused, with why."_s);
    list.options = {home("The home the list was received into."), json()};
    list.examples = {u"kivo-cli apps list --json"_s};
    list.exitCodes = {0, 2, 6};
    list.exitNotes = {{6, u"no list in the home, or it is unreadable"_s}};
    t << list;

    CommandSpec install = command(u"apps install"_s, u"Install applications from the list with their own tools"_s,
                        u"flatpak installs for the home's user from a remote configured with the same URL, or adds the "
                        "source's remote when it sent the remote's key; snap and apt-get install the rest (apt-get as root)."_s);
    install.arguments = {{u"ID,..."_s, u"The applications, as apps list names them (kind:ID when kinds share one)"_s, false}};
    install.options = {flag("all", "Install every application on the list."), home("The home the list was received into."), json()};
    install.examples = {u"kivo-cli apps install --all"_s, u"kivo-cli apps install org.gimp.GIMP,snap:vlc --json"_s};
    install.exitCodes = {0, 1, 2, 5, 6, 7};
    install.exitNotes = {{1, u"some applications failed to install"_s},
                         {5, u"Debian packages were chosen and kivo-cli does not run as root; nothing was installed"_s},
                         {6, u"no list in the home, or an id not on it"_s},
                         {7, u"a package tool the chosen applications need is missing; nothing was installed"_s}};
    t << install;
}

void addAdministrationCommands(QList<CommandSpec>& t)
{
    CommandSpec managed = command(u"managed"_s, u"Run the unattended migration a profile describes"_s,
                        u"Follows the profile: its role, window, categories and endpoints."_s);
    managed.options = {value("profile", "FILE", "The configuration profile.", "$KIVO_CONFIG_PROFILE, else the system's"),
                       value("home", "DIR", "The home folder to migrate.", "the principal's home folder"), json(),
                       value("discovery-timeout", "SECONDS", "How long to look for the peer.", "120"),
                       value("pairing-timeout", "SECONDS", "How long to wait for pairing.", "60")};
    managed.examples = {u"kivo-cli managed --profile /etc/kivo/com.kivo.config.plist --json"_s};
    managed.exitCodes = {0, 1, 2, 3, 4, 5, 6, 7};
    managed.exitNotes = {{4, u"no peer in time"_s}, {5, u"not managed, not enrolled, or outside the migration window"_s},
                         {6, u"the profile cannot be read, or misses required keys"_s},
                         {7, u"no service discovery daemon, by which the two ends find each other"_s}};
    t << managed;

    CommandSpec helperStatus = command(u"helper status"_s, u"Say whether the privileged helper answers"_s,
                             u"Asks kivo-helper on $KIVO_HELPER_SOCKET, else /run/kivo/helper.sock, for its version."_s);
    helperStatus.options = {json()};
    helperStatus.examples = {u"kivo-cli helper status --json"_s};
    helperStatus.exitCodes = {0, 2, 7};
    helperStatus.exitNotes = {{0, u"the helper answers"_s}, {7, u"nothing answers on the socket"_s}};
    t << helperStatus;

    CommandSpec helperInstall = command(u"helper install"_s, u"Install the privileged helper as a system service"_s,
                              u"Writes kivo-helper.service and, where systemd runs, reloads it and enables it."_s);
    helperInstall.options = {value("unit-dir", "DIR", "Where the unit file goes.", "/etc/systemd/system"),
                             value("socket", "PATH", "The socket the helper listens on.", "/run/kivo/helper.sock"),
                             flag("no-start", "Only write the unit and reload.")};
    helperInstall.examples = {u"kivo-cli helper install --no-start"_s};
    helperInstall.exitCodes = {0, 1, 2, 6, 7};
    helperInstall.exitNotes = {{1, u"the unit could not be written"_s}, {6, u"kivo-helper is not beside kivo-cli"_s},
                               {7, u"systemd could not reload or start it"_s}};
    t << helperInstall;
}

void addStagedCommands(QList<CommandSpec>& t)
{
    const OptionSpec appsDir = listOf("apps-dir", "DIR", "Another folder applications are installed in.", {}, true);
    CommandSpec stagedList = command(u"staged list"_s, u"List settings held back for applications not installed"_s,
                           u"Staged settings wait in ~/.kivo-staged-prefs until their application appears."_s);
    stagedList.options = {home(), appsDir, json()};
    stagedList.examples = {u"kivo-cli staged list --home /home/bob --json"_s};
    stagedList.exitCodes = {0, 1, 2, 6};
    stagedList.exitNotes = {{1, u"could not act as the home's owner"_s}, {6, u"the store of staged settings is unusable"_s}};
    t << stagedList;

    CommandSpec stagedWatch = command(u"staged watch"_s, u"Restore held-back settings as their applications appear"_s,
                            u"Runs until interrupted."_s);
    stagedWatch.options = {home(), appsDir, json()};
    stagedWatch.examples = {u"kivo-cli staged watch --home /home/bob --apps-dir /opt/apps"_s};
    stagedWatch.exitCodes = stagedList.exitCodes;
    stagedWatch.exitNotes = stagedList.exitNotes;
    t << stagedWatch;

    const ArgumentSpec key{u"KEY"_s, u"The bundle's key, as staged list shows it"_s, true};
    CommandSpec stagedApply = command(u"staged apply"_s, u"Restore one bundle of held-back settings now"_s, {});
    stagedApply.arguments = {key};
    stagedApply.options = {home()};
    stagedApply.examples = {u"kivo-cli staged apply org.example.Tool --home /home/bob"_s};
    stagedApply.exitCodes = {0, 1, 2, 6};
    stagedApply.exitNotes = {{1, u"the settings could not be restored, or could not act as the home's owner"_s},
                             {6, u"no such bundle, or the store of staged settings is unusable"_s}};
    t << stagedApply;

    CommandSpec stagedDiscard = command(u"staged discard"_s, u"Delete one bundle of held-back settings"_s, {});
    stagedDiscard.arguments = {key};
    stagedDiscard.options = {home()};
    stagedDiscard.examples = {u"kivo-cli staged discard org.example.Tool --home /home/bob"_s};
    stagedDiscard.exitCodes = {0, 1, 2, 6};
    stagedDiscard.exitNotes = {{1, u"could not act as the home's owner"_s}, {6, stagedApply.exitNotes.value(6)}};
    t << stagedDiscard;
}

void addHelpCommand(QList<CommandSpec>& t)
{
    CommandSpec help = command(u"help"_s, u"Show a command's options, examples and exit codes"_s,
                     u"The same as COMMAND --help."_s);
    // Every group is named, as the table has them: help is the last command.
    QStringList groups;
    for (const CommandSpec& c : std::as_const(t))
        if (c.name.contains(u' ') && !groups.contains(c.name.section(u' ', 0, 0)))
            groups << c.name.section(u' ', 0, 0);
    const QString last = groups.takeLast();
    help.arguments = {{u"COMMAND"_s, u"A command, and a subcommand for %1 and %2"_s.arg(groups.join(u", "_s), last), false}};
    help.examples = {u"kivo-cli help send"_s, u"kivo-cli help log post"_s};
    help.exitCodes = {0, 2};
    t << help;
}

QList<CommandSpec> buildTable()
{
    QList<CommandSpec> t;
    addMigrationCommands(t);
    addInspectionCommands(t);
    addRecordCommands(t);
    addAppsCommands(t);
    addVaultCommands(t);
    addAdministrationCommands(t);
    addStagedCommands(t);
    addHelpCommand(t);
    return t;
}

} // namespace

QString OptionSpec::usage() const
{
    return takesValue() ? QStringLiteral("--%1 %2").arg(name, valueName) : QStringLiteral("--") + name;
}

const OptionSpec* CommandSpec::option(const QString& wanted) const
{
    for (const OptionSpec& o : options)
        if (o.name == wanted)
            return &o;
    return nullptr;
}

QString CommandSpec::synopsis() const
{
    QString line = QStringLiteral("kivo-cli ") + name;
    for (const ArgumentSpec& a : arguments)
        line += a.required ? u' ' + a.name : QStringLiteral(" [%1]").arg(a.name);
    if (!options.isEmpty())
        line += QStringLiteral(" [OPTIONS]");
    return line;
}

QString CommandSpec::exitMeaning(int code) const { return exitNotes.value(code, exitCodeMeaning(code)); }

const QList<CommandSpec>& commandTable()
{
    static const QList<CommandSpec> table = buildTable();
    return table;
}

const CommandSpec* findCommand(const QString& name)
{
    for (const CommandSpec& c : commandTable())
        if (c.name == name)
            return &c;
    return nullptr;
}

QStringList topLevelCommands()
{
    QStringList words;
    for (const CommandSpec& c : commandTable()) {
        const QString first = c.name.section(u' ', 0, 0);
        if (!words.contains(first))
            words << first;
    }
    return words;
}

QStringList subcommandsOf(const QString& group)
{
    QStringList words;
    for (const CommandSpec& c : commandTable())
        if (c.name.startsWith(group + u' '))
            words << c.name.section(u' ', 1);
    return words;
}

QString exitCodeMeaning(int code)
{
    switch (code) {
    case 0: return QStringLiteral("success");
    case 1: return QStringLiteral("failed: a transfer failed, was cancelled or had mismatches, or a file or post could not be made");
    case 2: return QStringLiteral("usage error");
    case 3: return QStringLiteral("pairing failed, expired or wrong code, or the peer cannot pair securely");
    case 4: return QStringLiteral("no source found in time");
    case 5: return QStringLiteral("refused: a pre-flight blocker, a choice the profile forbids, outside the migration window, not managed or not enrolled");
    case 6: return QStringLiteral("a named input is unusable: unknown log id, bundle or user, or a bad profile");
    case 7: return QStringLiteral("a service kivo needs is unavailable: the privileged helper, the Secret Service, service discovery");
    }
    return {};
}

QStringList categoryIds(bool withDeveloperTools)
{
    QStringList ids;
    for (const DataCategory& c : DataCategory::allCategories())
        ids << c.id;
    if (withDeveloperTools)
        ids << DataCategory::engineeringTools().id;
    return ids;
}

OptionSpec value(const char* name, const char* valueName, const char* description, const char* defaultValue)
{
    OptionSpec o;
    o.name = QString::fromUtf8(name);
    o.valueName = QString::fromUtf8(valueName);
    o.description = QString::fromUtf8(description);
    o.defaultValue = QString::fromUtf8(defaultValue);
    return o;
}

} // namespace kivo::cli
