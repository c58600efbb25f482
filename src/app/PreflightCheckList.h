// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace kivo {

struct PreflightResult;

enum class CheckOutcome { passed, warning, failed };

// One check as the pre-flight screen lists it: what was checked, how it came
// out, and what it found.
struct CheckLine {
    QString title;
    CheckOutcome outcome = CheckOutcome::passed;
    QString detail;       // a passed check's figure, when it has one
    QStringList findings; // the blockers or warnings the check raised
    bool operator==(const CheckLine&) const = default;
};

// Every check that ran, in a fixed order, each with the findings it raised.
// `macShapedHome` names cloud placeholders as that home knows them.
QList<CheckLine> checkLines(const PreflightResult& result, bool macShapedHome);
QString outcomeName(CheckOutcome outcome);
QVariantList checkLineRows(const QList<CheckLine>& lines);

} // namespace kivo
