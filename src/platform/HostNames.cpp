// SPDX-License-Identifier: Apache-2.0
#include "platform/HostNames.h"

#include <QFile>
#include <QSysInfo>

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kivo::host {

QString localizedHostName()
{
    QFile file(QStringLiteral("/etc/machine-info"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            continue;
        QString value = line.mid(16);
        if (value.size() >= 2 && (value.startsWith(u'"') || value.startsWith(u'\'')))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

QString networkHostName() { return QSysInfo::machineHostName(); }

QString machineArchitecture()
{
    utsname name{};
    return uname(&name) == 0 ? QString::fromLatin1(name.machine) : QSysInfo::currentCpuArchitecture();
}

QString displayHostName()
{
    const QString pretty = localizedHostName();
    return pretty.isEmpty() ? networkHostName() : pretty;
}

QString loginUserName()
{
    if (const passwd* pw = getpwuid(geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

} // namespace kivo::host
