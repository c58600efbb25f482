// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxSettingsRules.h"

#include <QByteArrayList>
#include <QHash>

#include <algorithm>

namespace kivo::desktopSettings {

namespace {

QString fullKey(const QByteArray& section, const QByteArray& name)
{
    QString dir = QString::fromUtf8(section);
    while (dir.startsWith(u'/'))
        dir.remove(0, 1);
    while (dir.endsWith(u'/'))
        dir.chop(1);
    return dir.isEmpty() ? u'/' + QString::fromUtf8(name) : u'/' + dir + u'/' + QString::fromUtf8(name);
}

bool isGroupLine(const QByteArray& line)
{
    return line.startsWith('[') && line.endsWith(']');
}

// A key line of a keyfile: "name=value" outside comments.
bool keyName(const QByteArray& line, QByteArray& name)
{
    if (line.startsWith('#') || isGroupLine(line))
        return false;
    const qsizetype equals = line.indexOf('=');
    if (equals <= 0)
        return false;
    name = line.left(equals).trimmed();
    return true;
}

// Every key of a keyfile text by full path, with its value as written.
QHash<QString, QByteArray> keyValues(const QByteArray& keyfile)
{
    QHash<QString, QByteArray> values;
    QByteArray section, name;
    for (const QByteArray& raw : keyfile.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (isGroupLine(line))
            section = line.mid(1, line.size() - 2);
        else if (!section.isEmpty() && keyName(line, name))
            values.insert(fullKey(section, name), line.mid(line.indexOf('=') + 1).trimmed());
    }
    return values;
}

QByteArrayList words(const QByteArray& command)
{
    QByteArrayList out;
    QByteArray word;
    bool quoted = false, any = false;
    for (const char c : command) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any)
                out.append(word);
            word.clear();
            any = false;
        } else {
            word.append(c);
            any = true;
        }
    }
    if (any)
        out.append(word);
    return out;
}

} // namespace

const DeniedKeys& deniedKeys()
{
    static const DeniedKeys denied = {
        {QStringLiteral("/org/gnome/desktop/remote-desktop/"), QStringLiteral("/org/gnome/settings-daemon/plugins/color/"),
         QStringLiteral("/org/gnome/desktop/peripherals/tablets/"),
         QStringLiteral("/org/gnome/desktop/peripherals/touchscreens/")},
        {QStringLiteral("-timestamp"), QStringLiteral("window-size"), QStringLiteral("window-position"),
         QStringLiteral("window-state"), QStringLiteral("window-geometry"), QStringLiteral("window-width"),
         QStringLiteral("window-height"), QStringLiteral("-maximized"), QStringLiteral("-maximised")},
        {QStringLiteral("maximized"), QStringLiteral("maximised"), QStringLiteral("geometry")},
    };
    return denied;
}

bool isDenied(const QString& key)
{
    const DeniedKeys& d = deniedKeys();
    const QString name = key.mid(key.lastIndexOf(u'/') + 1);
    return std::any_of(d.folders.begin(), d.folders.end(), [&](const QString& f) { return key.startsWith(f); })
        || std::any_of(d.nameSuffixes.begin(), d.nameSuffixes.end(), [&](const QString& s) { return name.endsWith(s); })
        || d.names.contains(name);
}

QByteArray withoutDeniedKeys(const QByteArray& keyfile, QStringList* dropped)
{
    return withoutKeys(keyfile, isDenied, dropped);
}

QByteArray withoutKeys(const QByteArray& keyfile, const std::function<bool(const QString&)>& leaveOut, QStringList* dropped)
{
    QByteArray out;
    QByteArray section, pending; // a group is written once it keeps a key
    bool sectionKept = false;
    for (const QByteArray& raw : keyfile.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (isGroupLine(line)) {
            section = line.mid(1, line.size() - 2);
            pending = raw + '\n';
            sectionKept = false;
            continue;
        }
        QByteArray name;
        if (!keyName(line, name))
            continue;
        const QString key = fullKey(section, name);
        if (section.isEmpty() || leaveOut(key)) {
            if (dropped)
                dropped->append(key);
            continue;
        }
        if (!sectionKept) {
            if (!out.isEmpty())
                out += '\n';
            out += pending;
            sectionKept = true;
        }
        out += raw + '\n';
    }
    return out;
}

SettingsMerge mergeSettings(const QByteArray& received, const QByteArray& present, bool overwrite)
{
    const QHash<QString, QByteArray> own = keyValues(present), theirs = keyValues(received);
    SettingsMerge merge;
    merge.keyfile = withoutKeys(received, [&](const QString& key) {
        const auto mine = own.constFind(key);
        if (mine == own.constEnd())
            return false;
        if (*mine == theirs.value(key))
            return true;
        (overwrite ? merge.replaced : merge.kept).append(key);
        return !overwrite;
    });
    return merge;
}

int keyCount(const QByteArray& keyfile)
{
    int count = 0;
    QByteArray name;
    for (const QByteArray& raw : keyfile.split('\n'))
        count += keyName(raw.trimmed(), name) ? 1 : 0;
    return count;
}

QString autostartProgram(const QByteArray& desktopEntry)
{
    bool inEntry = false;
    QByteArray tryExec, exec;
    for (const QByteArray& raw : desktopEntry.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (isGroupLine(line))
            inEntry = line == "[Desktop Entry]";
        else if (inEntry && line.startsWith("TryExec="))
            tryExec = line.mid(8).trimmed();
        else if (inEntry && line.startsWith("Exec="))
            exec = line.mid(5).trimmed();
    }
    if (!tryExec.isEmpty())
        return QString::fromUtf8(tryExec);
    QByteArrayList parts = words(exec);
    qsizetype i = 0;
    if (i < parts.size() && parts[i] == "env")
        ++i;
    while (i < parts.size() && parts[i].contains('=') && !parts[i].startsWith('/'))
        ++i;
    return i < parts.size() ? QString::fromUtf8(parts[i]) : QString();
}

QByteArray disabledAutostartEntry(const QByteArray& desktopEntry)
{
    const QByteArray off = "Hidden=true\nX-GNOME-Autostart-enabled=false\n";
    QByteArray out;
    bool inEntry = false, done = false;
    QByteArrayList lines = desktopEntry.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (isGroupLine(line)) {
            if (inEntry && !done) {
                out += off;
                done = true;
            }
            inEntry = line == "[Desktop Entry]";
        } else if (inEntry && (line.startsWith("Hidden=") || line.startsWith("X-GNOME-Autostart-enabled="))) {
            continue;
        }
        out += raw + '\n';
    }
    if (!done)
        out += inEntry ? off : QByteArray("[Desktop Entry]\n") + off;
    return out;
}

const QStringList& desktopFilePatterns()
{
    static const QStringList patterns = {
        QStringLiteral("~/.config/kdeglobals"),
        QStringLiteral("~/.config/k*rc"),
        QStringLiteral("~/.config/plasma*rc"),
        QStringLiteral("~/.config/mimeapps.list"),
        QStringLiteral("~/.config/autostart/*.desktop"),
        QStringLiteral("~/.config/gtk-3.0/bookmarks"),
        QStringLiteral("~/.config/gtk-3.0/settings.ini"),
        QStringLiteral("~/.config/gtk-4.0/settings.ini"),
        QStringLiteral("~/.local/share/applications/*.desktop"),
        QStringLiteral("~/.local/share/fonts/"),
        QStringLiteral("~/.fonts/"),
        QStringLiteral("~/.themes/"),
        QStringLiteral("~/.icons/"),
        QStringLiteral("~/.local/share/themes/"),
        QStringLiteral("~/.local/share/icons/"),
        // XFCE: every settings channel, the panel's plugins and launchers, default helpers, the terminal.
        QStringLiteral("~/.config/xfce4/xfconf/xfce-perchannel-xml/*.xml"),
        QStringLiteral("~/.config/xfce4/panel/"),
        QStringLiteral("~/.config/xfce4/helpers.rc"),
        QStringLiteral("~/.config/xfce4/terminal/terminalrc"),
        // LXQt: its components' files, the desktop and file manager, the window manager.
        QStringLiteral("~/.config/lxqt/*.conf"),
        QStringLiteral("~/.config/pcmanfm-qt/"),
        QStringLiteral("~/.config/openbox/"),
    };
    return patterns;
}

bool isMachineBoundFile(const QString& tildePath)
{
    // Monitor layouts name these screens by connector and serial and set modes
    // only they can show: applied on another computer they could leave it with
    // a dark or unusable screen, and its desktop makes its own on first login.
    static const QStringList files = {
        QStringLiteral("~/.config/xfce4/xfconf/xfce-perchannel-xml/displays.xml"),
        QStringLiteral("~/.config/lxqt/lxqt-config-monitor.conf"),
    };
    return files.contains(tildePath);
}

} // namespace kivo::desktopSettings
