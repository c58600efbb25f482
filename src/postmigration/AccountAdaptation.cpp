// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AccountAdaptation.h"

#include "postmigration/AppReinstaller.h"

#include "platform/Logging.h"
#include "transfer/Background.h"

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

QCoro::Task<void> AccountAdaptation::adaptCategory(QString categoryID, WrittenFiles writtenFiles)
{
    const bool receivesReinstallList = categoryID == QLatin1String("applicationData");
    const std::optional<UserMapping> mapping = m_rewriter ? m_rewriter->mapping() : std::nullopt;
    const bool rewrites = mapping && mapping->changesHomeFolder();
    // Most categories of a migration to the same account need nothing: their files are not even listed.
    if (!receivesReinstallList && !rewrites)
        co_return;
    // Only the few files worth a look are kept from a walk over every file, made on a pool thread.
    auto walking = startInBackground([writtenFiles = std::move(writtenFiles), categoryID, receivesReinstallList, rewrites] {
        QStringList lists;
        AccountPathRewriter::Files rewritable;
        writtenFiles.forEach([&](const QString& path) {
            if (receivesReinstallList && isReinstallListPath(path))
                lists.append(path);
            if (const RewriteKind kind = rewrites ? rewriteKindFor(categoryID, path) : RewriteKind::none; kind != RewriteKind::none)
                rewritable.append({kind, path});
        });
        return std::make_pair(lists, rewritable);
    });
    auto [reinstallLists, files] = co_await finishInBackground(std::move(walking));
    // The list of applications to reinstall came from the peer: checked before anything reads it.
    for (const QString& path : std::as_const(reinstallLists))
        if (!checkReceivedReinstallList(path.chopped(int(sizeof("/.local/share/kivo/reinstall.json") - 1)), path))
            qCWarning(lcAppCompat).noquote() << "The list of applications to reinstall is unusable:" << path;
    if (!files.isEmpty())
        co_await m_rewriter->rewrite(std::move(files));
}

} // namespace kivo
