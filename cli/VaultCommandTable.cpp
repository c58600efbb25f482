// SPDX-License-Identifier: Apache-2.0
#include "cli/CommandTable.h"

namespace kivo::cli {

using namespace Qt::Literals::StringLiterals;

namespace {

// Where the vault is and what opens it: every vault command takes these.
QList<OptionSpec> vaultOptions()
{
    return {value("vault", "L", "The vault: a folder, or s3:https://HOST[:PORT]/BUCKET[/PREFIX] (http only on this machine).",
                  "the profile's, else <home>/.local/share/kivo/vault"),
            value("password-file", "FILE", "The file holding the vault's password.",
                   "$KIVO_VAULT_PASSWORD_FILE, else the profile's, the Secret Service's, the vault.key beside the vault"),
            value("home", "DIR", "The home folder the vault serves.", "your home folder"),
            value("json", "", "Print one JSON object per line, one per event, and nothing else on stdout.")};
}

CommandSpec vaultCommand(const QString& name, const QString& summary, const QString& description)
{
    CommandSpec c;
    c.name = name;
    c.summary = summary;
    c.description = description;
    c.options = vaultOptions();
    c.exitNotes = {{6, u"no vault there, a wrong password, no password at all, or no keys for the object store"_s},
                   {7, u"restic is missing or older than 0.14, the vault did not answer in time, or it is locked"_s}};
    return c;
}

CommandSpec vaultRestore()
{
    CommandSpec restore = vaultCommand(u"vault restore"_s, u"Restore a snapshot into a folder"_s,
                                       u"Writes the snapshot's files into --target, a new or empty folder, laid out as in the "
                                       "home: nothing in the home itself is touched."_s);
    restore.arguments = {{u"SNAP|latest"_s, u"A snapshot's id (or its start), or the newest one"_s, true}};
    restore.options << value("target", "DIR", "The folder to restore into (required): new or empty.")
                    << OptionSpec{u"category"_s, u"ID"_s, u"Only this category of the snapshot."_s, categoryIds(false), {}};
    restore.examples = {u"kivo-cli vault restore latest --target /tmp/restored"_s,
                        u"kivo-cli vault restore 3f9a0c12de --category userFiles --target /tmp/restored"_s};
    restore.exitCodes = {0, 1, 2, 5, 6, 7};
    restore.exitNotes.insert(1, u"the restore did not complete, the target's disk is full, or the snapshot vanished meanwhile"_s);
    restore.exitNotes.insert(5, u"the target is not a new or empty folder; nothing was written"_s);
    restore.exitNotes.insert(6, u"no such snapshot (with that category), "_s + restore.exitNotes.value(6));
    return restore;
}

CommandSpec vaultRollback()
{
    CommandSpec rollback = vaultCommand(u"vault rollback"_s, u"Undo what a receive changed in this home"_s,
                                        u"Puts back the files a migration replaced, from the snapshot it took first, and "
                                        "removes the files and empty folders it created, with their bytes, mode, owner, "
                                        "extended attributes and times. What it replaces is snapshotted first (kind "
                                        "pre-rollback). It is refused whole when a file changed after the migration, unless "
                                        "--force. A run cut short finishes on the next; a migration rolled back stays so."_s);
    rollback.arguments = {{u"MIGRATION-ID|latest"_s, u"The migration log's id, or the newest migration"_s, true}};
    rollback.options << OptionSpec{u"category"_s, u"ID"_s, u"Only this category; the rest can follow later."_s,
                                   categoryIds(false), {}}
                     << value("dry-run", "", "Only say what would be put back, removed or is in the way.")
                     << value("force", "", "Roll back files that changed after the migration too.");
    rollback.examples = {u"kivo-cli vault rollback latest --dry-run"_s,
                         u"kivo-cli vault rollback latest --category userFiles"_s};
    rollback.exitCodes = {0, 1, 2, 5, 6, 7};
    rollback.exitNotes.insert(1, u"a folder refused the change, or the snapshot is gone; nothing is lost and a later run goes on"_s);
    rollback.exitNotes.insert(5, u"files changed after the migration (listed); --force rolls them back too"_s);
    rollback.exitNotes.insert(6, u"no such migration, or it changed nothing of that category"_s);
    return rollback;
}

} // namespace

void addVaultCommands(QList<CommandSpec>& t)
{
    CommandSpec init = vaultCommand(u"vault init"_s, u"Create a snapshot vault"_s,
                                    u"Creates a restic repository in the folder. Without a password file the default vault "
                                    "gets a random key in vault.key beside it, readable only by its owner. An existing "
                                    "vault is opened to check the password and left as it is."_s);
    init.examples = {u"kivo-cli vault init"_s, u"kivo-cli vault init --vault /media/backup/kivo --password-file ~/.vault-pass"_s};
    init.exitCodes = {0, 1, 2, 6, 7};
    init.exitNotes.insert(1, u"the vault could not be created, or its disk is full"_s);
    init.exitNotes.insert(6, u"a wrong password for the vault already there, no password at all, or no keys for the object store"_s);
    t << init;

    CommandSpec snapshot = vaultCommand(u"vault snapshot"_s, u"Snapshot a home's categories into the vault"_s,
                                        u"One restic snapshot per category, tagged with the host, user, kind and category. "
                                        "kivo's own folder is never part of it. The default vault is created when missing."_s);
    snapshot.options << OptionSpec{u"categories"_s, u"ID,..."_s, u"The categories to take."_s,
                                   categoryIds(false), u"all"_s, true};
    snapshot.options << OptionSpec{u"folders"_s, u"NAME,..."_s, u"Only these folders of the home, for userFiles."_s, {}, {}, true};
    snapshot.examples = {u"kivo-cli vault snapshot --categories userFiles --folders Documents,Pictures"_s,
                         u"kivo-cli vault snapshot --json"_s};
    snapshot.exitCodes = {0, 1, 2, 6, 7};
    snapshot.exitNotes.insert(1, u"the snapshot did not complete, or the vault's disk is full"_s);
    t << snapshot;

    CommandSpec list = vaultCommand(u"vault list"_s, u"List the snapshots in the vault"_s,
                                    u"One line per snapshot, oldest first: id, kind, time, host, user, migration and "
                                    "categories with their restic snapshot, files and bytes."_s);
    list.examples = {u"kivo-cli vault list --json"_s};
    list.exitCodes = {0, 1, 2, 6, 7};
    list.exitNotes.insert(1, u"the snapshots could not be read"_s);
    t << list;

    CommandSpec check = vaultCommand(u"vault check"_s, u"Check the vault for damage"_s,
                                     u"Runs restic check on the vault."_s);
    check.options << value("read-data", "", "Read and verify every stored byte as well.");
    check.examples = {u"kivo-cli vault check --read-data"_s};
    check.exitCodes = {0, 1, 2, 6, 7};
    check.exitNotes.insert(1, u"the vault is damaged"_s);
    t << check;

    t << vaultRestore();

    CommandSpec forget = vaultCommand(u"vault forget"_s, u"Remove snapshots from the vault"_s,
                                      u"Forgets one snapshot, or all but the newest N; --prune frees their space."_s);
    forget.arguments = {{u"SNAP"_s, u"A snapshot's id (or its start)"_s, false}};
    forget.options << value("keep-last", "N", "Keep the newest N snapshots and forget the rest.")
                   << value("prune", "", "Free the space the forgotten snapshots held.");
    forget.examples = {u"kivo-cli vault forget 3f9a0c12de"_s, u"kivo-cli vault forget --keep-last 5 --prune"_s};
    forget.exitCodes = {0, 1, 2, 6, 7};
    forget.exitNotes.insert(1, u"the snapshots could not be forgotten or their space freed"_s);
    forget.exitNotes.insert(6, u"no such snapshot, "_s + forget.exitNotes.value(6));
    t << forget;

    t << vaultRollback();
}

} // namespace kivo::cli
