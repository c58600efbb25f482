// SPDX-License-Identifier: Apache-2.0
#include "app/HomeWording.h"

#include <QRegularExpression>

namespace kivo {

QString wordedForHome(const QString& text, HomeLayoutKind layout)
{
    if (layout == HomeLayoutKind::MacOS)
        return text;
    static const QRegularExpression mac(QStringLiteral("\\bMac(s?)\\b"));
    QString out = text;
    return out.replace(mac, QStringLiteral("computer\\1"));
}

} // namespace kivo
