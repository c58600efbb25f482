// SPDX-License-Identifier: Apache-2.0
#include "cli/Suggestion.h"

#include <QList>

#include <algorithm>

namespace kivo::cli {

int editDistance(const QString& a, const QString& b)
{
    const qsizetype n = a.size(), m = b.size();
    // Three rows of the optimal-string-alignment table: two back for swaps.
    QList<int> before(m + 1), previous(m + 1), current(m + 1);
    for (qsizetype j = 0; j <= m; ++j)
        previous[j] = int(j);
    for (qsizetype i = 1; i <= n; ++i) {
        current[0] = int(i);
        for (qsizetype j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[m];
}

std::optional<QString> closestMatch(const QString& word, const QStringList& candidates)
{
    // A guess is offered for about one slip in three characters, never for a
    // word sharing nothing with the candidate.
    const int allowed = std::max(1, int(word.size()) / 3);
    std::optional<QString> best;
    int bestDistance = allowed + 1;
    bool tie = false;
    for (const QString& c : candidates) {
        int d = editDistance(word.toLower(), c.toLower());
        // A prefix of a longer name ("--folder" for "--folders") is a near miss too.
        if (word.size() >= 3 && c.startsWith(word, Qt::CaseInsensitive))
            d = std::min(d, 1);
        if (d < bestDistance) {
            best = c;
            bestDistance = d;
            tie = false;
        } else if (d == bestDistance && best != c) {
            tie = true;
        }
    }
    if (tie)
        return std::nullopt;
    return best;
}

QString didYouMean(const QString& word, const QStringList& candidates)
{
    const std::optional<QString> match = closestMatch(word, candidates);
    return match ? QStringLiteral(" (did you mean \"%1\"?)").arg(*match) : QString();
}

} // namespace kivo::cli
