// SPDX-License-Identifier: Apache-2.0
#include "vault/ChangeEntries.h"
#include "vault/RollbackPlan.h"
#include "vault/PreChangeSnapshot.h"
#include "vault/SecretsChanges.h"
#include "vault/SecretsRecord.h"
#include "vault/SettingsChanges.h"
#include "vault/VaultError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using Kind = ChangeEntry::Kind;
using Step = RollbackStep;

namespace {

PathState state(std::uint64_t inode, std::int64_t changed)
{
    PathState s;
    s.size = 10;
    s.modifiedSecs = 1'600'000'000;
    s.modifiedNsecs = 123'456'789;
    s.changedSecs = changed;
    s.inode = inode;
    return s;
}

const PathState before = state(1, 100);
const PathState written = state(2, 200);
const PathState later = state(2, 300); // same file, touched again after the migration
const std::optional<PathState> nothing;

ChangeEntry entry(Kind kind, std::optional<PathState> was, bool afterKnown, std::optional<PathState> after)
{
    return {kind, QStringLiteral("userFiles"), QStringLiteral("Documents/a.txt"), was, afterKnown, after};
}

} // namespace

TEST(RollbackPlan, DecidesEachPathFromWhatWasThereWhatTheMigrationLeftAndWhatIsThereNow)
{
    struct Case {
        const char* name;
        ChangeEntry entry;
        std::optional<PathState> now;
        Step step;
        bool changedSince;
    };
    const Case cases[] = {
        {"replaced, untouched since", entry(Kind::replaced, before, true, written), written, Step::restore, false},
        {"replaced, edited since", entry(Kind::replaced, before, true, written), later, Step::restore, true},
        {"replaced, deleted since", entry(Kind::replaced, before, true, written), nothing, Step::restore, true},
        {"replaced, swapped for another file", entry(Kind::replaced, before, true, written), state(9, 200), Step::restore, true},
        {"kept by the conflict policy", entry(Kind::replaced, before, true, before), before, Step::none, false},
        {"kept, then edited by its owner", entry(Kind::replaced, before, true, before), later, Step::none, false},
        {"created, untouched since", entry(Kind::created, nothing, true, written), written, Step::remove, false},
        {"created, edited since", entry(Kind::created, nothing, true, written), later, Step::remove, true},
        {"created, deleted since", entry(Kind::created, nothing, true, written), nothing, Step::none, false},
        {"never written, made later by someone", entry(Kind::created, nothing, true, nothing), later, Step::none, false},
        {"unfinished migration, replaced file untouched", entry(Kind::replaced, before, false, nothing), before, Step::none, false},
        {"unfinished migration, replaced file written", entry(Kind::replaced, before, false, nothing), written, Step::restore, true},
        {"unfinished migration, created file there", entry(Kind::created, nothing, false, nothing), written, Step::remove, true},
        {"folders are not files", entry(Kind::folderCreated, nothing, true, written), written, Step::none, false},
    };
    for (const Case& c : cases) {
        const RollbackDecision d = planRollback(c.entry, c.now);
        EXPECT_EQ(d.step, c.step) << c.name;
        EXPECT_EQ(d.changedSince, c.changedSince) << c.name;
    }
}

TEST(RollbackPlan, TheRecordReadsBackAsWrittenAndRefusesDamage)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record"));
    const QList<ChangeEntry> entries = {
        {Kind::folderTouched, QStringLiteral("userFiles"), QStringLiteral("."), before, true, written},
        {Kind::replaced, QStringLiteral("userFiles"), QStringLiteral("Docs/line\nbreak, comma=é"), before, true, nothing},
        {Kind::created, QStringLiteral("applicationData"), QStringLiteral(".config/x"), nothing, false, nothing},
    };
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    for (const ChangeEntry& e : entries)
        out.write(encodeEntry(e));
    out.close();
    QList<ChangeEntry> read;
    forEachEntry(path, [&](const ChangeEntry& e) { read << e; });
    ASSERT_EQ(read.size(), entries.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].kind, entries[i].kind);
        EXPECT_EQ(read[i].category, entries[i].category);
        EXPECT_EQ(read[i].relative, entries[i].relative);
        EXPECT_EQ(read[i].before, entries[i].before);
        EXPECT_EQ(read[i].afterKnown, entries[i].afterKnown);
        EXPECT_EQ(read[i].after, entries[i].after);
    }

    const QByteArray good = encodeEntry(entries[1]);
    const QByteArray damaged[] = {
        good.left(good.size() - 3),                                           // cut short
        QByteArray(good).replace("Docs/", "../"),                             // out of the home
        QByteArray(good).replace(0, 1, "x"),                                  // no such kind
        QByteArray("r\0userFiles\0/etc/passwd\0-\0-\0", 28),                 // absolute
        QByteArray("r\0userFiles\0a\0f 1 2\0-\0", 22),                        // malformed state
    };
    for (const QByteArray& bytes : damaged) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        EXPECT_THROW(forEachEntry(path, [](const ChangeEntry&) {}), VaultError) << bytes.toStdString();
    }
}

TEST(SettingsRollbackPlan, PutsBackWhatTheMigrationChangedResetsWhatItAddedAndLeavesTheRest)
{
    const QString font = QStringLiteral("/org/gnome/desktop/interface/font-name");
    const QString theme = QStringLiteral("/org/gnome/desktop/interface/gtk-theme");
    const QString clock = QStringLiteral("/org/gnome/desktop/interface/clock-format");
    const QString stamp = QStringLiteral("/org/gnome/shell/last-seen-timestamp"); // bound to the machine
    const SettingsValues before{{font, QStringLiteral("'Sans 10'")}, {clock, QStringLiteral("'24h'")},
                                {stamp, QStringLiteral("uint64 1")}};
    const SettingsValues after{{font, QStringLiteral("'Serif 12'")}, {clock, QStringLiteral("'24h'")},
                               {theme, QStringLiteral("'Dark'")}, {stamp, QStringLiteral("uint64 2")}};
    struct Case {
        const char* name;
        std::optional<SettingsValues> after;
        SettingsValues now;
        SettingsValues restore;
        QStringList reset;
        QStringList changedSince;
    };
    SettingsValues edited = after;
    edited[font] = QStringLiteral("'Mono 9'");
    edited.remove(theme);
    SettingsValues userAdded = after;
    userAdded[QStringLiteral("/org/gnome/desktop/wm/preferences/button-layout")] = QStringLiteral("'close'");
    SettingsValues halfDone = after;
    halfDone[font] = QStringLiteral("'Sans 10'");
    const Case cases[] = {
        {"untouched since", after, after, {{font, QStringLiteral("'Sans 10'")}}, {theme}, {}},
        {"a key set again and an added one unset since", after, edited, {{font, QStringLiteral("'Sans 10'")}}, {}, {font}},
        {"a key someone added after is theirs", after, userAdded, {{font, QStringLiteral("'Sans 10'")}}, {theme}, {}},
        {"a run cut short put one back already", after, halfDone, {}, {theme}, {}},
        {"all back already", after, before, {}, {}, {}},
        {"applied nothing", before, before, {}, {}, {}},
        {"never finished: every difference, as changed since", std::nullopt, after,
         {{font, QStringLiteral("'Sans 10'")}}, {theme}, {font, theme}},
        {"never finished, nothing differs", std::nullopt, before, {}, {}, {}},
    };
    for (const Case& c : cases) {
        const SettingsRollbackPlan plan = planSettingsRollback(before, c.after, c.now);
        EXPECT_EQ(plan.restore, c.restore) << c.name;
        EXPECT_EQ(plan.reset, c.reset) << c.name;
        EXPECT_EQ(plan.changedSince, c.changedSince) << c.name;
    }
}

TEST(SettingsRollbackPlan, ReadsAndWritesTheSettingsKeyfile)
{
    const QByteArray dump = "[/]\ntop='at the root'\n\n"
                            "[org/gnome/desktop/background]\npicture-uri='file:///a=b.png'\nshow = true\n\n"
                            "# a comment\n[org/gnome/desktop/background/]\nprimary-color='#000000'\n"
                            "[org/x]\nno-value\n=nameless\nbad/name=1\n";
    const SettingsValues expected{{QStringLiteral("/top"), QStringLiteral("'at the root'")},
                                  {QStringLiteral("/org/gnome/desktop/background/picture-uri"), QStringLiteral("'file:///a=b.png'")},
                                  {QStringLiteral("/org/gnome/desktop/background/show"), QStringLiteral("true")},
                                  {QStringLiteral("/org/gnome/desktop/background/primary-color"), QStringLiteral("'#000000'")}};
    EXPECT_EQ(parseSettings(dump), expected);
    EXPECT_EQ(parseSettings("stray=1\n[a]\nk=2\n"), (SettingsValues{{QStringLiteral("/a/k"), QStringLiteral("2")}}))
        << "keys before any group belong nowhere";
    EXPECT_EQ(parseSettings(settingsKeyfile(expected)), expected) << "written back, read again: the same keys";
    EXPECT_EQ(settingsKeyfile({{QStringLiteral("/top"), QStringLiteral("1")}}), QByteArray("[/]\ntop=1\n"));
    EXPECT_TRUE(settingsKeyfile({}).isEmpty());
}

namespace {

secrets::Item secretItem(const QString& service, const QString& label, const QByteArray& secret)
{
    return {{{QStringLiteral("service"), service}, {QStringLiteral("account"), QStringLiteral("ann")}},
            label, secret, QStringLiteral("text/plain"), {}};
}

} // namespace

TEST(SecretsRollbackPlan, PutsBackWhatTheMigrationChangedDeletesWhatItAddedAndLeavesTheRest)
{
    const secrets::Item mailBefore = secretItem(QStringLiteral("mail"), QStringLiteral("Mail"), "old");
    const secrets::Item notes = secretItem(QStringLiteral("notes"), QStringLiteral("Notes"), "mine");
    const secrets::Item mailAfter = secretItem(QStringLiteral("mail"), QStringLiteral("Mail"), "new");
    const secrets::Item wifi = secretItem(QStringLiteral("wifi"), QStringLiteral("Wi-Fi"), "added");
    const QList<secrets::Item> before{mailBefore, notes};
    const QList<SecretState> after = secretStatesOf({mailAfter, notes, wifi});
    const QString mailName = describeSecret(QStringLiteral("Mail"), mailBefore.attributes);
    const QString wifiName = describeSecret(QStringLiteral("Wi-Fi"), wifi.attributes);
    secrets::Item relabelled = mailAfter;
    relabelled.label = QStringLiteral("Mail (work)");
    secrets::Item retyped = wifi;
    retyped.contentType = QStringLiteral("application/octet-stream");
    secrets::Item withSchema = notes; // the service names the generic schema of an item stored without one
    withSchema.attributes.insert(QStringLiteral("xdg:schema"), QStringLiteral("org.freedesktop.Secret.Generic"));
    struct Case {
        const char* name;
        std::optional<QList<SecretState>> after;
        QList<secrets::Item> now;
        QList<secrets::Item> restore;
        QList<QMap<QString, QString>> remove;
        QStringList changedSince;
    };
    const Case cases[] = {
        {"untouched since", after, {mailAfter, notes, wifi}, {mailBefore}, {wifi.attributes}, {}},
        {"one relabelled, one retyped since", after, {relabelled, notes, retyped}, {mailBefore}, {wifi.attributes},
         {describeSecret(QStringLiteral("Mail (work)"), mailBefore.attributes), wifiName}},
        {"an added one deleted since: gone as before", after, {mailAfter, notes}, {mailBefore}, {}, {}},
        {"one someone stored after is theirs", after, {mailAfter, notes, wifi, secretItem(QStringLiteral("vpn"), {}, "x")},
         {mailBefore}, {wifi.attributes}, {}},
        {"a run cut short put one back already", after, {mailBefore, notes, wifi}, {}, {wifi.attributes}, {}},
        {"all back already", after, before, {}, {}, {}},
        {"the same attribute set, schema spelled out", after, {mailAfter, withSchema, wifi}, {mailBefore}, {wifi.attributes}, {}},
        {"never finished: every difference, as changed since", std::nullopt, {mailAfter, notes, wifi},
         {mailBefore}, {wifi.attributes}, {mailName, wifiName}},
        {"never finished, nothing differs", std::nullopt, before, {}, {}, {}},
    };
    for (const Case& c : cases) {
        const SecretsRollbackPlan plan = planSecretsRollback(before, c.after, secretStatesOf(c.now));
        EXPECT_EQ(plan.restore, c.restore) << c.name;
        EXPECT_EQ(plan.remove, c.remove) << c.name;
        EXPECT_EQ(plan.changedSince, c.changedSince) << c.name;
    }
}

TEST(SecretsRollbackPlan, DigestsTellLabelTypeAndSecretApartAndSurviveTheirRecord)
{
    const secrets::Item item = secretItem(QStringLiteral("mail"), QStringLiteral("ab"), "c");
    secrets::Item shifted = item; // the same bytes, split elsewhere
    shifted.label = QStringLiteral("a");
    shifted.secret = "bc";
    secrets::Item untyped = item;
    untyped.contentType.clear();
    EXPECT_NE(secretDigest(item), secretDigest(shifted));
    EXPECT_EQ(secretDigest(item), secretDigest(untyped)) << "stored without a type, the service files it as text";
    const QList<SecretState> states = secretStatesOf({item, secretItem(QStringLiteral("wifi"), QStringLiteral("Ünï"), "x")});
    const QByteArray record = encodeSecretStates(states);
    EXPECT_EQ(decodeSecretStates(record), states);
    EXPECT_FALSE(record.contains("\"c\"")) << "no secret in the record";
    EXPECT_EQ(decodeSecretStates(R"([{"label":"x","digest":"00"},7,{"label":"y"}])"), QList<SecretState>()) << "damaged entries are dropped";
    EXPECT_EQ(decodeSecretStates("not json"), QList<SecretState>());
}

TEST(SecretsRecord, KeychainExportsAreSpottedWhereEitherLayoutLandsThem)
{
    const QString home = QStringLiteral("/home/ann");
    const struct {
        const char* destination;
        bool expected;
    } cases[] = {
        {"/home/ann/.local/share/kivo/keychain/kivo-keychain-export-1f.encrypted", true},
        {"/home/ann/Library/Keychains/kivo-keychain-export-2e.encrypted", true},
        {"/home/ann/Library/Keychains/../Keychains/kivo-keychain-export-3.encrypted", true},
        {"/home/ann/Library/Keychains/deeper/kivo-keychain-export-4.encrypted", false},
        {"/home/ann/Documents/kivo-keychain-export-5.encrypted", false},
        {"/home/bob/Library/Keychains/kivo-keychain-export-6.encrypted", false},
        {"/home/ann/Library/Keychains/login.keychain-db", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isKeychainExport(home, QString::fromUtf8(c.destination)), c.expected) << c.destination;
}

TEST(SecretsRecord, DumpsGoToAFreshFolderOnlyTheOwnerEntersAndLeftoversGo)
{
    QTemporaryDir home;
    const QString records = changeRecordsFolder(home.path());
    const QString leftover = records + QStringLiteral("/secrets-crashed");
    ASSERT_TRUE(QDir().mkpath(leftover));
    QFile stale(leftover + QStringLiteral("/kivo-secrets.json"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    QString path;
    {
        const std::unique_ptr<QTemporaryDir> folder = privateSecretsFolder(home.path());
        path = folder->path();
        EXPECT_FALSE(QFileInfo::exists(leftover)) << "a crashed run's dump is removed";
        EXPECT_EQ(QFileInfo(path).path(), records);
        // Owner bits 0x7000, group 0x0070, others 0x0007: rwx------.
        EXPECT_EQ(int(QFileInfo(path).permissions() & 0x7077), 0x7000);
    }
    EXPECT_FALSE(QFileInfo::exists(path)) << "gone with its holder";
}
