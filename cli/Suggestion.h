// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::cli {

// Single-character insertions, deletions, substitutions and swaps of
// neighbours turning `a` into `b` (case counts).
int editDistance(const QString& a, const QString& b);
// The candidate a mistyped `word` most likely meant: the nearest one, when it
// is near enough for the guess to help and no other is as near.
std::optional<QString> closestMatch(const QString& word, const QStringList& candidates);
// " (did you mean "x"?)", or nothing.
QString didYouMean(const QString& word, const QStringList& candidates);

} // namespace kivo::cli
