// SPDX-License-Identifier: Apache-2.0
#include "preflight/GitRepositoryCheck.h"

#include "platform/CommandRunner.h"
#include "preflight/GitRefFiles.h"

#include <QFileInfo>

namespace kivo {

std::optional<QString> unsharedWorkFromRefs(const QString& output)
{
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(u'\t');
        const QString ref = fields.value(0);
        if (ref == QLatin1String("refs/stash"))
            return QStringLiteral("it holds a stash");
        const QString branch = ref.startsWith(QLatin1String("refs/heads/")) ? ref.mid(11) : ref;
        if (fields.value(1).isEmpty())
            return QStringLiteral("branch %1 has no upstream").arg(branch);
        const QString track = fields.value(2);
        if (track.contains(QLatin1String("gone")))
            return QStringLiteral("the upstream of branch %1 is gone").arg(branch);
        if (track.contains(QLatin1String("ahead")))
            return QStringLiteral("branch %1 has commits not on its upstream").arg(branch);
    }
    return std::nullopt;
}

std::optional<QString> unsharedWorkIn(const QString& gitFolder)
{
    if (refsShowNothingUnshared(gitFolder))
        return std::nullopt;
    static const QString git = findExecutable(QStringLiteral("git"));
    if (git.isEmpty())
        return QStringLiteral("git is not installed to check it");
    CommandOptions options;
    options.timeout = std::chrono::seconds(10);
    options.maxOutputBytes = 4 * 1024 * 1024;
    // Only refs are read; nothing in the repository's own configuration runs.
    options.environment.insert(QStringLiteral("GIT_CONFIG_NOSYSTEM"), QStringLiteral("1"));
    options.environment.insert(QStringLiteral("GIT_CONFIG_GLOBAL"), QStringLiteral("/dev/null"));
    options.environment.insert(QStringLiteral("GIT_OPTIONAL_LOCKS"), QStringLiteral("0"));
    options.workingDirectory = QFileInfo(gitFolder).absolutePath();
    const CommandResult result = runCommandDetailed(
        git,
        {QStringLiteral("-c"), QStringLiteral("safe.directory=*"), QStringLiteral("--git-dir=") + gitFolder,
         QStringLiteral("for-each-ref"), QStringLiteral("--format=%(refname)%09%(upstream)%09%(upstream:track)"),
         QStringLiteral("refs/heads"), QStringLiteral("refs/stash")},
        options);
    if (!result.succeeded())
        return QStringLiteral("git could not read it");
    return unsharedWorkFromRefs(QString::fromUtf8(result.standardOutput));
}

} // namespace kivo
