// SPDX-License-Identifier: Apache-2.0
#include "app/HomeWording.h"

#include <QRegularExpression>
#include <QSet>

namespace kivo {

namespace {

// A heading spelt in title case ("Find Your Source Mac"): every word but the
// small ones starts with a capital. Its machine reads "Computer", not "computer".
bool isTitle(const QString& text)
{
    static const QSet<QString> small = [] {
        const QStringList words = QStringLiteral("a an and as at but by for from in into of on or the to with kivo").split(u' ');
        return QSet<QString>(words.cbegin(), words.cend());
    }();
    static const QRegularExpression word(QStringLiteral("\\b\\p{L}[\\p{L}'’]*"));
    int words = 0;
    for (auto it = word.globalMatch(text); it.hasNext();) {
        const QString w = it.next().captured();
        if (w.front().isLower() && !small.contains(w))
            return false;
        ++words;
    }
    return words > 1;
}

} // namespace

QString wordedForHome(const QString& text, HomeLayoutKind layout)
{
    if (layout == HomeLayoutKind::MacOS)
        return text;
    static const QRegularExpression mac(QStringLiteral("\\bMac(s?)\\b"));
    static const QRegularExpression sentenceStart(QStringLiteral("(^|[.!?]\\s+)$"));
    const bool title = isTitle(text);
    QString out;
    qsizetype from = 0;
    for (auto it = mac.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += text.sliced(from, m.capturedStart() - from);
        const bool capital = title || sentenceStart.match(text.first(m.capturedStart())).hasMatch();
        out += (capital ? QStringLiteral("Computer") : QStringLiteral("computer")) + m.captured(1);
        from = m.capturedEnd();
    }
    return out + text.sliced(from);
}

} // namespace kivo
