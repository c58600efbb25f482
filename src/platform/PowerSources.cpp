// SPDX-License-Identifier: Apache-2.0
#include "platform/PowerSources.h"

#include <QDir>
#include <QFile>

namespace kivo {

namespace {

QString readAttribute(const QString& folder, const char* name)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

} // namespace

QString sysfsRoot()
{
    const QString overridden = qEnvironmentVariable("KIVO_SYSFS");
    return overridden.isEmpty() ? QStringLiteral("/sys") : overridden;
}

QList<PowerSource> powerSources(const QString& root)
{
    const QString base = root + QStringLiteral("/class/power_supply");
    QList<PowerSource> out;
    for (const QString& name : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
        const QString folder = base + QLatin1Char('/') + name;
        PowerSource s{name, readAttribute(folder, "type"), readAttribute(folder, "scope"),
                      readAttribute(folder, "status"), std::nullopt};
        const QString online = readAttribute(folder, "online");
        if (!online.isEmpty())
            s.online = online == QLatin1String("1");
        out.append(s);
    }
    return out;
}

bool isOnMainsPower(const QList<PowerSource>& sources)
{
    bool sawSystemSupply = false;
    for (const PowerSource& s : sources) {
        if (s.scope.compare(QLatin1String("Device"), Qt::CaseInsensitive) == 0)
            continue;
        if (s.type == QLatin1String("Mains") || s.type == QLatin1String("USB")) {
            sawSystemSupply = true;
            if (s.online.value_or(false))
                return true;
        } else if (s.type == QLatin1String("Battery")) {
            sawSystemSupply = true;
            if (s.status != QLatin1String("Discharging"))
                return true;
        }
    }
    return !sawSystemSupply;
}

} // namespace kivo
