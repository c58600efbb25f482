// SPDX-License-Identifier: Apache-2.0
#include "vault/ResticEngine.h"

#include "platform/CommandRunner.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

ResticEngine ResticEngine::locate()
{
    const QString wanted = qEnvironmentVariable("KIVO_RESTIC", QStringLiteral("restic"));
    const QString program = findExecutable(wanted);
    if (program.isEmpty())
        throw VaultError(VaultErrorKind::noEngine,
                         QStringLiteral("the snapshot engine \"%1\" is not installed (install restic 0.14 or later, or set KIVO_RESTIC)")
                             .arg(wanted));
    CommandOptions options;
    options.timeout = std::chrono::seconds(20);
    options.environment.insert(QStringLiteral("RESTIC_PASSWORD"), QString());
    const auto out = runCommand(program, {QStringLiteral("version")}, options);
    const auto version = out ? restic::parseVersion(out->toUtf8()) : std::nullopt;
    if (!version)
        throw VaultError(VaultErrorKind::noEngine, QStringLiteral("%1 does not run as restic").arg(program));
    if (!version->atLeast(kMinimumMajor, kMinimumMinor))
        throw VaultError(VaultErrorKind::noEngine, QStringLiteral("%1 is restic %2.%3; 0.14 or later is needed")
                                                       .arg(program)
                                                       .arg(version->major)
                                                       .arg(version->minor));
    return ResticEngine(program, *version);
}

QStringList ResticEngine::argumentsFor(const VaultAccess& access, const QStringList& command)
{
    // Never the engine's default cache, which follows the invoking user's HOME, not the home served.
    const QStringList cache = access.cacheFolder.isEmpty() ? QStringList{QStringLiteral("--no-cache")}
                                                           : QStringList{QStringLiteral("--cache-dir"), access.cacheFolder};
    return QStringList{QStringLiteral("--repo"), access.repository} + cache + command;
}

QMap<QString, QString> ResticEngine::environmentFor(const VaultAccess& access)
{
    // Whatever the user's shell says about repositories, passwords and keys must not
    // redirect a call to another vault, another key or another account.
    const AwsKeys keys = access.keys.value_or(AwsKeys{});
    return {{QStringLiteral("RESTIC_PASSWORD"), access.password},
            {QStringLiteral("RESTIC_PASSWORD_FILE"), QString()},
            {QStringLiteral("RESTIC_PASSWORD_COMMAND"), QString()},
            {QStringLiteral("RESTIC_REPOSITORY"), QString()},
            {QStringLiteral("RESTIC_REPOSITORY_FILE"), QString()},
            {QStringLiteral("RESTIC_KEY_HINT"), access.keyHint},
            {QStringLiteral("AWS_ACCESS_KEY_ID"), keys.accessKeyID},
            {QStringLiteral("AWS_SECRET_ACCESS_KEY"), keys.secretAccessKey},
            {QStringLiteral("AWS_SESSION_TOKEN"), keys.sessionToken},
            {QStringLiteral("AWS_DEFAULT_REGION"), access.region},
            {QStringLiteral("AWS_PROFILE"), QString()},
            {QStringLiteral("AWS_SHARED_CREDENTIALS_FILE"), QString()},
            {QStringLiteral("AWS_WEB_IDENTITY_TOKEN_FILE"), QString()},
            {QStringLiteral("MINIO_ACCESS_KEY"), QString()},
            {QStringLiteral("MINIO_SECRET_KEY"), QString()},
            {QStringLiteral("MINIO_ROOT_USER"), QString()},
            {QStringLiteral("MINIO_ROOT_PASSWORD"), QString()},
            // A few status lines a second are plenty for a progress bar.
            {QStringLiteral("RESTIC_PROGRESS_FPS"), QStringLiteral("4")}};
}

bool ResticEngine::hasRepository(const VaultAccess& access) const
{
    if (!access.isObjectStore())
        return QFileInfo::exists(QDir(access.repository).filePath(QStringLiteral("config")));
    try {
        output(access, {QStringLiteral("cat"), QStringLiteral("config")});
        return true;
    } catch (const VaultError& e) {
        if (e.kind() == VaultErrorKind::noVault)
            return false;
        throw;
    }
}

void ResticEngine::run(const VaultAccess& access, const Call& call) const
{
    ChildOptions options;
    options.environment = environmentFor(access);
    options.deadline = call.deadline;
    options.workingDirectory = call.workingDirectory;
    options.giveUp = restic::isHopeless;
    const ChildResult r = runChild(m_program, argumentsFor(access, call.command), options, call.onLine, call.tick);
    if (!r.started)
        throw VaultError(VaultErrorKind::noEngine, QStringLiteral("%1 could not be started").arg(m_program));
    if (r.timedOut)
        throw VaultError(VaultErrorKind::unreachable,
                         QStringLiteral("the vault did not answer in time (%1 s)").arg(call.deadline.count() / 1000));
    if (r.lineTooLong)
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the snapshot engine's output was too large"));
    if (r.exitCode == 0 && !r.gaveUp)
        return;
    const QString reason = restic::describeError(r.standardError);
    throw VaultError(restic::classifyError(r.standardError),
                     reason.isEmpty() ? QStringLiteral("the snapshot engine failed (exit %1)").arg(r.exitCode) : reason);
}

QByteArray ResticEngine::output(const VaultAccess& access, const QStringList& command,
                                std::chrono::milliseconds deadline) const
{
    QByteArray out;
    Call call;
    call.command = command;
    call.deadline = deadline;
    call.onLine = [&out](const QByteArray& line) {
        out += line;
        out += '\n';
    };
    run(access, call);
    return out;
}

} // namespace kivo
