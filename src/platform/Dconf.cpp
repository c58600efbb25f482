// SPDX-License-Identifier: Apache-2.0
#include "platform/Dconf.h"

#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/stat.h>

namespace kivo::dconf {

namespace {

std::uint32_t word(QByteArrayView head, int index, bool swapped)
{
    const auto value = qFromLittleEndian<std::uint32_t>(head.data() + 4 * index);
    return swapped ? qbswap(value) : value;
}

QString dconfProgram()
{
    const QString program = findExecutable(QStringLiteral("dconf"));
    if (program.isEmpty())
        throw SystemError(QStringLiteral("The dconf tool is not installed"));
    return program;
}

} // namespace

QString databaseProblem(QByteArrayView head, std::uint64_t size)
{
    if (size < std::uint64_t(kHeaderBytes) || head.size() < kHeaderBytes)
        return QStringLiteral("it is too short to be a settings database (%1 bytes)").arg(size);
    const QByteArrayView signature = head.first(8);
    const bool swapped = signature == QByteArrayView("raVGtnai");
    if (signature != QByteArrayView("GVariant") && !swapped)
        return QStringLiteral("it does not start like a settings database");
    if (word(head, 2, swapped) != 0)
        return QStringLiteral("it is a settings database of unknown version %1").arg(word(head, 2, swapped));
    const std::uint32_t start = word(head, 4, swapped), end = word(head, 5, swapped);
    if (start > end || end > size)
        return QStringLiteral("it is cut off or damaged: its table ends at byte %1 of %2").arg(end).arg(size);
    return {};
}

QString databasePath(const QString& homeFolder)
{
    return homeFolder + QStringLiteral("/.config/dconf/user");
}

QByteArray dumpHome(const QString& homeFolder)
{
    const QString path = databasePath(homeFolder);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    if (!S_ISREG(st.st_mode))
        throw SystemError(QStringLiteral("The settings database %1 is not a regular file").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw SystemError(QStringLiteral("Cannot read the settings database %1: %2").arg(path, file.errorString()));
    const QByteArray head = file.read(kHeaderBytes);
    if (const QString problem = databaseProblem(head, std::uint64_t(file.size())); !problem.isEmpty())
        throw SystemError(QStringLiteral("The settings database %1 was not read: %2").arg(path, problem));
    file.close();

    // Only the home's own database: a profile naming nothing else, no bus, a runtime folder of our own.
    QTemporaryDir runtime(QDir::tempPath() + QStringLiteral("/kivo-dconf-XXXXXX"));
    QFile profile(runtime.filePath(QStringLiteral("profile")));
    if (!runtime.isValid() || !profile.open(QIODevice::WriteOnly) || profile.write("user-db:user\n") < 0)
        throw SystemError(QStringLiteral("Cannot prepare to read the settings database"));
    profile.close();
    CommandOptions options;
    options.environment = {
        {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString()},
        {QStringLiteral("DCONF_PROFILE"), profile.fileName()},
        {QStringLiteral("XDG_CONFIG_HOME"), homeFolder + QStringLiteral("/.config")},
        {QStringLiteral("XDG_RUNTIME_DIR"), runtime.path()},
    };
    const CommandResult result = runCommandDetailed(dconfProgram(), {QStringLiteral("dump"), QStringLiteral("/")}, options);
    if (!result.succeeded())
        throw SystemError(QStringLiteral("The settings database %1 could not be read (dconf exit %2)").arg(path).arg(result.exitCode));
    return result.standardOutput;
}

void load(const QByteArray& keyfile, const CommandOptions& client)
{
    if (keyfile.trimmed().isEmpty())
        return;
    CommandOptions options = client;
    options.standardInput = keyfile;
    // The tool says on standard error why it failed; that is what the user needs to see.
    options.withErrors = true;
    const CommandResult result = runCommandDetailed(dconfProgram(), {QStringLiteral("load"), QStringLiteral("/")}, options);
    if (!result.started)
        throw SystemError(QStringLiteral("The dconf tool could not be started"));
    if (result.timedOut)
        throw SystemError(QStringLiteral("The settings service did not answer in time"));
    if (result.exitCode != 0) {
        const QString why = QString::fromUtf8(result.standardOutput.left(1024)).simplified();
        throw SystemError(QStringLiteral("The settings service refused the settings (dconf exit %1%2)")
                              .arg(result.exitCode)
                              .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    }
}

void reset(const QStringList& keys, const CommandOptions& client)
{
    CommandOptions options = client;
    options.withErrors = true;
    for (const QString& key : keys) {
        // A folder path would unset everything below it: only single keys are taken.
        if (!key.startsWith(u'/') || key.endsWith(u'/') || key.contains(QLatin1String("//")))
            throw SystemError(QStringLiteral("%1 is not a settings key").arg(key));
        const CommandResult result = runCommandDetailed(dconfProgram(), {QStringLiteral("reset"), key}, options);
        if (!result.started)
            throw SystemError(QStringLiteral("The dconf tool could not be started"));
        if (result.timedOut)
            throw SystemError(QStringLiteral("The settings service did not answer in time"));
        if (result.exitCode != 0)
            throw SystemError(QStringLiteral("The settings service did not reset %1 (dconf exit %2: %3)")
                                  .arg(key)
                                  .arg(result.exitCode)
                                  .arg(QString::fromUtf8(result.standardOutput.left(1024)).simplified()));
    }
}

std::optional<QString> read(const QString& key, const CommandOptions& client)
{
    const std::optional<QString> out = runCommand(dconfProgram(), {QStringLiteral("read"), key}, client);
    if (!out || out->trimmed().isEmpty())
        return std::nullopt;
    return out->trimmed();
}

} // namespace kivo::dconf
