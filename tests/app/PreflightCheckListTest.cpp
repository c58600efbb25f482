// SPDX-License-Identifier: Apache-2.0
#include "app/PreflightCheckList.h"
#include "preflight/PreflightChecker.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::Literals::StringLiterals;

namespace {

// The outcomes of the six lines, as one word each, in the screen's order.
QStringList outcomes(const QList<CheckLine>& lines)
{
    QStringList out;
    for (const CheckLine& l : lines)
        out << outcomeName(l.outcome);
    return out;
}

} // namespace

// Each check is one line whatever it found, and a finding sits under the
// check that raised it, not under the first one that failed.
TEST(PreflightCheckList, EveryCheckIsOneLineWithItsOwnFindings)
{
    PreflightResult clean;
    clean.destinationMDMEnrolled = true;
    clean.destinationFreeBytes = 5'000'000'000;
    clean.requiredBytes = 1'000'000'000;

    PreflightResult browsersAndBattery = clean;
    browsersAndBattery.browsersClosed = false;
    browsersAndBattery.sourcePowerConnected = false;
    browsersAndBattery.warnings = {u"browsers"_s, u"battery"_s};

    PreflightResult everything;
    everything.sourceHomeReadable = false;
    everything.destinationSpaceAvailable = false;
    everything.iCloudStubsDetected = true;
    everything.browsersClosed = false;
    everything.sourcePowerConnected = false;
    everything.blockers = {u"unreadable"_s, u"no room"_s};
    everything.warnings = {u"unenrolled"_s, u"placeholders"_s, u"browsers"_s, u"battery"_s};

    PreflightResult spaceOnly = clean;
    spaceOnly.destinationSpaceAvailable = false;
    spaceOnly.blockers = {u"no room"_s};

    const struct {
        const char* name;
        PreflightResult result;
        QStringList outcomes;
        QList<QStringList> findings;
    } cases[] = {
        {"clean", clean, {"passed", "passed", "passed", "passed", "passed", "passed"}, {{}, {}, {}, {}, {}, {}}},
        {"two warnings", browsersAndBattery, {"passed", "passed", "passed", "passed", "warning", "warning"},
         {{}, {}, {}, {}, {u"browsers"_s}, {u"battery"_s}}},
        {"space only", spaceOnly, {"passed", "failed", "passed", "passed", "passed", "passed"}, {{}, {u"no room"_s}, {}, {}, {}, {}}},
        {"everything", everything, {"failed", "failed", "warning", "warning", "warning", "warning"},
         {{u"unreadable"_s}, {u"no room"_s}, {u"unenrolled"_s}, {u"placeholders"_s}, {u"browsers"_s}, {u"battery"_s}}},
    };
    for (const auto& c : cases) {
        const QList<CheckLine> lines = checkLines(c.result, false);
        EXPECT_EQ(outcomes(lines), c.outcomes) << c.name;
        ASSERT_EQ(lines.size(), c.findings.size()) << c.name;
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].findings, c.findings[i]) << c.name << " line " << i;
    }
}

TEST(PreflightCheckList, PassedLinesCarryTheirFigureAndTheHomeNamesItsPlaceholders)
{
    PreflightResult r;
    r.destinationMDMEnrolled = true;
    r.destinationFreeBytes = 5'000'000'000;
    r.requiredBytes = 1'000'000'000;
    const QList<CheckLine> linux = checkLines(r, false);
    EXPECT_EQ(linux[1].detail, u"5 GB free, 1 GB to move"_s);
    EXPECT_EQ(linux[3].title, u"Cloud-only files"_s);
    EXPECT_EQ(checkLines(r, true)[3].title, u"iCloud placeholders"_s);

    r.destinationFreeBytes = 0; // unreadable: counted as passed, and said so
    EXPECT_EQ(checkLines(r, false)[1].detail, u"Free space could not be measured"_s);
    r.destinationSpaceAvailable = false;
    r.blockers = {u"no room"_s};
    EXPECT_EQ(checkLines(r, false)[1].detail, QString()) << "a failed line shows its finding, not a figure";

    const QVariantList rows = checkLineRows(checkLines(r, false));
    ASSERT_EQ(rows.size(), 6);
    EXPECT_EQ(rows[1].toMap().value(u"outcome"_s).toString(), u"failed"_s);
    EXPECT_EQ(rows[1].toMap().value(u"findings"_s).toStringList(), QStringList{u"no room"_s});
}
