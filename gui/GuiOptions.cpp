// SPDX-License-Identifier: Apache-2.0
#include "gui/GuiOptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kivo::gui {

const char* const kGuiUsage = R"(kivo: the desktop application that moves one person's data to a new computer.

Usage:
  kivo [--home DIR] [--hostname NAME] [--username NAME] [--port N]
       [--connect HOST:PORT] [--demo [--workdir DIR]] [--color-scheme light|dark]
  kivo --screenshots DIR [--size WxH] [--color-scheme light|dark]

  --screenshots DIR  render every screen of both roles over sample data into
                     DIR/<view>-<role>.png and quit; no display is needed and
                     no home folder is read or written
  --size WxH         the window's size for --screenshots (default 800x600)
  --color-scheme     light or dark; by default the desktop's
)";

namespace {

quint16 portOf(const QString& text, const QString& flag)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        throw GuiUsageError(QStringLiteral("%1 needs a port from 1 to 65535, not \"%2\"").arg(flag, text));
    return quint16(value);
}

QSize sizeOf(const QString& text)
{
    const QStringList parts = text.split(u'x');
    bool okW = false, okH = false;
    const int w = parts.size() == 2 ? parts[0].toInt(&okW) : 0;
    const int h = parts.size() == 2 ? parts[1].toInt(&okH) : 0;
    // Below the window's minimum nothing fits; beyond 8K a grab is only memory.
    if (!okW || !okH || w < 800 || h < 600 || w > 7680 || h > 4320)
        throw GuiUsageError(QStringLiteral("--size needs WIDTHxHEIGHT from 800x600 to 7680x4320, not \"%1\"").arg(text));
    return {w, h};
}

QString demoWorkdir(const QString& given)
{
    return QDir::cleanPath(QDir(given.isEmpty() ? QDir::tempPath() + QStringLiteral("/kivo-demo") : given).absolutePath());
}

} // namespace

void offerDemo(GuiOptions& options, bool enabledByProfile)
{
    if (options.demo || !enabledByProfile)
        return;
    options.demo = true;
    options.workdir = demoWorkdir({});
}

GuiOptions parseGuiOptions(const QStringList& args)
{
    GuiOptions o;
    bool workdirGiven = false;
    bool sizeGiven = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& flag = args.at(i);
        const auto value = [&]() -> QString {
            if (i + 1 >= args.size() || args.at(i + 1).startsWith(QLatin1String("--")))
                throw GuiUsageError(QStringLiteral("%1 needs a value").arg(flag));
            return args.at(++i);
        };
        if (flag == QLatin1String("--home")) {
            o.home = value();
        } else if (flag == QLatin1String("--hostname")) {
            o.hostname = value();
        } else if (flag == QLatin1String("--username")) {
            o.username = value();
        } else if (flag == QLatin1String("--port")) {
            o.port = portOf(value(), flag);
        } else if (flag == QLatin1String("--connect")) {
            const QString v = value();
            const qsizetype colon = v.lastIndexOf(u':');
            if (colon <= 0)
                throw GuiUsageError(QStringLiteral("--connect needs HOST:PORT, not \"%1\"").arg(v));
            o.connectHost = v.left(colon);
            // An IPv6 address comes in brackets, as the source prints it.
            if (o.connectHost->startsWith(u'[') && o.connectHost->endsWith(u']'))
                o.connectHost = o.connectHost->mid(1, o.connectHost->size() - 2);
            o.connectPort = portOf(v.mid(colon + 1), flag);
        } else if (flag == QLatin1String("--demo")) {
            o.demo = true;
        } else if (flag == QLatin1String("--color-scheme")) {
            o.colorScheme = value();
            if (o.colorScheme != QLatin1String("light") && o.colorScheme != QLatin1String("dark"))
                throw GuiUsageError(QStringLiteral("--color-scheme is light or dark, not \"%1\"").arg(o.colorScheme));
        } else if (flag == QLatin1String("--screenshots")) {
            o.screenshots = value();
        } else if (flag == QLatin1String("--size")) {
            o.screenshotSize = sizeOf(value());
            sizeGiven = true;
        } else if (flag == QLatin1String("--workdir")) {
            o.workdir = value();
            workdirGiven = true;
        } else {
            throw GuiUsageError(QStringLiteral("unknown option \"%1\"").arg(flag));
        }
    }
    if (workdirGiven && !o.demo)
        throw GuiUsageError(QStringLiteral("--workdir belongs to --demo"));
    if (sizeGiven && !o.screenshots)
        throw GuiUsageError(QStringLiteral("--size belongs to --screenshots"));
    if (o.screenshots && (o.demo || o.connectHost))
        throw GuiUsageError(QStringLiteral("--screenshots renders sample data; it takes no --demo or --connect"));
    if (o.demo)
        o.workdir = demoWorkdir(o.workdir);
    if (o.home.isEmpty())
        o.home = QDir::homePath();
    return o;
}

QString siblingProgram(const QString& name)
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {here + u'/' + name, here + QStringLiteral("/../cli/") + name})
        if (QFileInfo(candidate).isExecutable())
            return QDir::cleanPath(candidate);
    return name; // from PATH
}

} // namespace kivo::gui
