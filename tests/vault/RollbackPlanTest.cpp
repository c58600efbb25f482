// SPDX-License-Identifier: Apache-2.0
#include "vault/ChangeEntries.h"
#include "vault/RollbackPlan.h"
#include "vault/VaultError.h"

#include <QFile>
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
