// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AccountAdaptation.h"

#include "postmigration/AppReinstaller.h"

#include "platform/Logging.h"

namespace kivo {

namespace {

// Developer configuration files whose text may name the old home folder.
const QStringList kDeveloperConfigFiles = {
    QStringLiteral(".zshrc"),        QStringLiteral(".zprofile"),     QStringLiteral(".zshenv"),
    QStringLiteral(".bashrc"),       QStringLiteral(".bash_profile"), QStringLiteral(".bash_logout"),
    QStringLiteral(".profile"),      QStringLiteral(".gitconfig"),    QStringLiteral(".gemrc"),
    QStringLiteral(".npmrc"),        QStringLiteral(".tool-versions"), QStringLiteral(".ruby-version"),
    QStringLiteral(".python-version"), QStringLiteral(".nvmrc"),      QStringLiteral(".asdfrc"),
    QStringLiteral(".mise.toml")};

} // namespace

RewriteKind rewriteKindFor(const QString& categoryID, const QString& path)
{
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    if (categoryID == QLatin1String("engineeringTools")) {
        const bool config = kDeveloperConfigFiles.contains(name) || name.startsWith(QLatin1String("Brewfile-migration-"));
        return config ? RewriteKind::text : RewriteKind::none;
    }
    if (categoryID != QLatin1String("applicationData") && categoryID != QLatin1String("systemSettings"))
        return RewriteKind::none;
    // Keys and other SSH material stay byte-for-byte; only the config names paths.
    if (path.contains(QLatin1String("/.ssh/")))
        return name == QLatin1String("config") ? RewriteKind::text : RewriteKind::none;
    if (categoryID == QLatin1String("systemSettings") && path.endsWith(QLatin1String(".dconf")))
        return RewriteKind::settings;
    return path.endsWith(QLatin1String(".plist")) ? RewriteKind::plist : RewriteKind::text;
}

QCoro::Task<void> AccountPathRewriter::rewrite(Files files)
{
    for (const auto& [kind, path] : std::as_const(files)) {
        if (kind == RewriteKind::plist)
            rewritePlistPaths(path);
        else if (kind == RewriteKind::text || kind == RewriteKind::settings)
            rewriteTextFilePaths(path);
    }
    co_return;
}

QCoro::Task<void> AccountAdaptation::adaptCategory(QString categoryID, QStringList writtenFiles)
{
    // The list of applications to reinstall came from the peer: checked before anything reads it.
    if (categoryID == QLatin1String("applicationData"))
        for (const QString& path : std::as_const(writtenFiles))
            if (isReinstallListPath(path) && !checkReceivedReinstallList(path.chopped(int(sizeof("/.local/share/kivo/reinstall.json") - 1)), path))
                qCWarning(lcAppCompat).noquote() << "The list of applications to reinstall is unusable:" << path;
    if (!m_rewriter)
        co_return;
    const std::optional<UserMapping> mapping = m_rewriter->mapping();
    if (!mapping || !mapping->changesHomeFolder())
        co_return;
    AccountPathRewriter::Files files;
    for (const QString& path : std::as_const(writtenFiles)) {
        const RewriteKind kind = rewriteKindFor(categoryID, path);
        if (kind != RewriteKind::none)
            files.append({kind, path});
    }
    if (!files.isEmpty())
        co_await m_rewriter->rewrite(std::move(files));
}

} // namespace kivo
