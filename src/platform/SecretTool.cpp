// SPDX-License-Identifier: Apache-2.0
#include "platform/SecretTool.h"

#include "platform/Error.h"

namespace kivo::secretTool {

namespace {

QStringList flatten(const Attributes& attributes)
{
    QStringList out;
    for (const auto& [key, value] : attributes)
        out << key << value;
    return out;
}

QString program(const QString& name)
{
    const QString path = findExecutable(name);
    if (path.isEmpty())
        throw SystemError(QStringLiteral("The %1 tool is not installed").arg(name));
    return path;
}

} // namespace

bool sessionBusNamed(const QProcessEnvironment& environment)
{
    return !environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")).isEmpty()
        || !environment.value(QStringLiteral("XDG_RUNTIME_DIR")).isEmpty();
}

bool serviceAnswers(const CommandOptions& client)
{
    if (!sessionBusNamed(environmentWith(client.environment)))
        return false;
    const QString send = findExecutable(QStringLiteral("dbus-send"));
    if (send.isEmpty())
        return false;
    // A ping activates the service when the bus knows how to start it.
    return runCommandDetailed(send, {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                                     QStringLiteral("--reply-timeout=10000"), QStringLiteral("--dest=org.freedesktop.secrets"),
                                     QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.DBus.Peer.Ping")},
                              client)
        .succeeded();
}

std::optional<QByteArray> lookup(const Attributes& attributes, const CommandOptions& client)
{
    if (!sessionBusNamed(environmentWith(client.environment)))
        return std::nullopt;
    CommandResult result = runCommandDetailed(program(QStringLiteral("secret-tool")),
                                              QStringList{QStringLiteral("lookup")} + flatten(attributes), client);
    if (!result.succeeded() || result.standardOutput.isEmpty())
        return std::nullopt;
    return std::move(result.standardOutput);
}

void store(const QString& label, const Attributes& attributes, const QByteArray& secret, const CommandOptions& client)
{
    if (secret.isEmpty())
        throw SystemError(QStringLiteral("An empty secret is not stored"));
    if (!sessionBusNamed(environmentWith(client.environment)))
        throw SystemError(QStringLiteral("There is no session bus to reach the Secret Service on"));
    CommandOptions options = client;
    options.standardInput = secret;
    const CommandResult result = runCommandDetailed(
        program(QStringLiteral("secret-tool")),
        QStringList{QStringLiteral("store"), QStringLiteral("--label=") + label} + flatten(attributes), options);
    options.standardInput.fill('\0');
    if (!result.succeeded())
        throw SystemError(QStringLiteral("The Secret Service did not store \"%1\"%2")
                              .arg(label, result.timedOut ? QStringLiteral(" in time") : QString()));
}

} // namespace kivo::secretTool
