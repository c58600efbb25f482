// SPDX-License-Identifier: Apache-2.0
#include "platform/ByteCount.h"

#include <cmath>

namespace kivo {

QString formatFileSize(std::uint64_t bytes)
{
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    if (bytes == 1)
        return QStringLiteral("1 byte");
    if (bytes < 1000)
        return QStringLiteral("%1 bytes").arg(bytes);

    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    // Precision grows with the unit, as file browsers show sizes.
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    double value = static_cast<double>(bytes);
    int unit = -1;
    do {
        value /= 1000.0;
        ++unit;
    } while (value >= 999.5 && unit < 5);

    const double scale = std::pow(10.0, decimals[unit]);
    double rounded = std::round(value * scale) / scale;
    if (rounded >= 1000.0 && unit < 5) {
        rounded /= 1000.0;
        ++unit;
    }
    QString text = QString::number(rounded, 'f', decimals[unit]);
    if (text.contains(u'.')) {
        while (text.endsWith(u'0'))
            text.chop(1);
        if (text.endsWith(u'.'))
            text.chop(1);
    }
    return text + u' ' + QLatin1String(units[unit]);
}

} // namespace kivo
