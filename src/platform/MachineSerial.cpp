// SPDX-License-Identifier: Apache-2.0
#include "platform/MachineSerial.h"

#include "platform/SmallFiles.h"

#include <QStringList>

namespace kivo {

bool isPlaceholderSerial(const QString& text)
{
    const QString t = text.trimmed().toLower();
    if (t.isEmpty())
        return true;
    static const QStringList placeholders = {
        QStringLiteral("to be filled by o.e.m."), QStringLiteral("default string"), QStringLiteral("system serial number"),
        QStringLiteral("not specified"),          QStringLiteral("not applicable"), QStringLiteral("none"),
        QStringLiteral("0"),                      QStringLiteral("0123456789"),     QStringLiteral("123456789"),
        QStringLiteral("n/a"),                    QStringLiteral("unknown"),        QStringLiteral("chassis serial number")};
    if (placeholders.contains(t))
        return true;
    // All zeros, all "x" or all "f" are blanks written by the firmware.
    for (const QChar blank : {QChar(u'0'), QChar(u'x'), QChar(u'f')})
        if (t.count(blank) == t.size())
            return true;
    return false;
}

QString machineSerialNumber(const SerialSources& sources)
{
    constexpr qint64 kMax = 4096;
    if (const auto serial = fs::readRegularFile(sources.productSerial, kMax)) {
        const QString text = QString::fromUtf8(*serial).trimmed();
        if (!isPlaceholderSerial(text))
            return text;
    }
    if (const auto id = fs::readRegularFile(sources.machineID, kMax)) {
        const QString text = QString::fromUtf8(*id).trimmed();
        if (!text.isEmpty())
            return text;
    }
    return QStringLiteral("Unknown");
}

} // namespace kivo
