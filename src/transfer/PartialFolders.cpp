// SPDX-License-Identifier: Apache-2.0
#include "transfer/PartialFolders.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/FileHasher.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <functional>
#include <optional>

namespace kivo {

namespace {

QStringList readList(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList folders;
    // A torn last line (the process died mid-append) names no folder of ours.
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        if (!lines[i].isEmpty())
            folders.append(QString::fromUtf8(lines[i]));
    folders.removeDuplicates();
    return folders;
}

// Only a folder beneath the home is ever looked into, whatever the list says.
bool isBeneath(const QString& folder, const QString& home)
{
    return QDir::isAbsolutePath(folder) && QDir::cleanPath(folder) == folder && folder.startsWith(home + u'/');
}

// Removes the partial copies in the listed folders that `sweep` picks; false when one that it picked stays.
bool sweepListed(const QString& home, const QStringList& folders, const std::function<bool(const QString&)>& sweep)
{
    DestinationWriter writer(home);
    bool allGone = true;
    for (const QString& folder : folders) {
        if (!isBeneath(folder, home))
            continue;
        const QStringList names =
            QDir(folder).entryList({QStringLiteral(".kivo-*.partial")}, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
        for (const QString& name : names) {
            const QString path = folder + u'/' + name;
            if (!PartialFolders::isPartialName(name) || !sweep(path))
                continue;
            try {
                writer.remove(path);
            } catch (const WriteFailure& e) {
                allGone = false;
                qCWarning(lcTransferEngine).noquote() << "Could not remove" << path << e.description();
            }
        }
    }
    return allGone;
}

// The partial names a checkpoint's files may have.
QSet<QString> namesOf(const ResumeState& state)
{
    QSet<QString> names;
    for (auto it = state.files.cbegin(); it != state.files.cend(); ++it) {
        if (it->hasIdentity)
            names.insert(PartialFolders::partialName(state.transferID, it.key()));
    }
    if (state.inProgressFile)
        names.insert(PartialFolders::partialName(state.transferID, state.inProgressFile->relativePath));
    return names;
}

QString nameOf(const QString& path) { return path.mid(path.lastIndexOf(u'/') + 1); }

} // namespace

PartialFolders::PartialFolders(QString transfersDir, QString transferID)
    : m_path(listPath(transfersDir, transferID))
{
    const QStringList known = readList(m_path);
    m_listed = QSet<QString>(known.begin(), known.end());
}

void PartialFolders::note(const QString& folder)
{
    if (m_listed.contains(folder))
        return;
    if (!m_file.isValid())
        m_file = fs::openForAppend(m_path, false);
    fs::writeAll(m_file.get(), folder.toUtf8() + '\n', m_path);
    m_listed.insert(folder);
}

QString PartialFolders::listPath(const QString& transfersDir, const QString& transferID)
{
    return transfersDir + u'/' + transferID + QStringLiteral(".folders");
}

QString PartialFolders::partialName(const QString& transferID, const QString& relativePath)
{
    const QString digest = FileHasher::sha256Hex(QString(transferID + u'\n' + relativePath).toUtf8());
    return QStringLiteral(".kivo-") + digest.left(24) + QStringLiteral(".partial");
}

bool PartialFolders::isPartialName(QStringView name)
{
    constexpr qsizetype kDigits = 24;
    const QLatin1StringView head(".kivo-"), tail(".partial");
    if (name.size() != head.size() + kDigits + tail.size() || !name.startsWith(head) || !name.endsWith(tail))
        return false;
    const QStringView digits = name.mid(head.size(), kDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
}

void PartialFolders::discard(const QString& homeFolder, const QString& transferID)
{
    if (!ResumeState::isValidTransferID(transferID))
        return;
    const QString home = UserFolders(homeFolder).home();
    const QString dir = TransferEngine::transfersDirectory(home);
    const std::optional<ResumeState> state = ResumeState::load(dir, transferID);
    const QSet<QString> ours = state ? namesOf(*state) : QSet<QString>();
    // The list goes with the checkpoint only once what it leads to is gone.
    if (sweepListed(home, readList(listPath(dir, transferID)), [&](const QString& path) { return ours.contains(nameOf(path)); }))
        ResumeState::remove(dir, transferID);
    else
        QFile::remove(ResumeState::jsonPath(dir, transferID));
}

void PartialFolders::sweepLeftBy(const QString& homeFolder, const ResumeState& state) const
{
    // Named only once a copy is found: most transfers leave none, and naming costs a hash a file.
    std::optional<QSet<QString>> ours;
    sweepListed(UserFolders(homeFolder).home(), QStringList(m_listed.cbegin(), m_listed.cend()), [&](const QString& path) {
        if (!ours)
            ours = namesOf(state);
        return ours->contains(nameOf(path));
    });
}

void PartialFolders::sweepOrphans(const QString& homeFolder, const QDateTime& olderThan)
{
    const QString home = UserFolders(homeFolder).home();
    const QString dir = TransferEngine::transfersDirectory(home);
    const QStringList lists = QDir(dir).entryList({QStringLiteral("*.folders")}, QDir::Files | QDir::NoSymLinks);
    QSet<QString> claimed;
    bool claimedKnown = false;
    for (const QString& list : lists) {
        const QString id = list.chopped(int(sizeof(".folders") - 1));
        if (!ResumeState::isValidTransferID(id) || QFile::exists(ResumeState::jsonPath(dir, id)))
            continue;
        if (!claimedKnown) {
            for (const ResumeState& state : ResumeState::listAll(dir))
                claimed.unite(namesOf(state));
            claimedKnown = true;
        }
        bool young = false;
        const bool allGone = sweepListed(home, readList(dir + u'/' + list), [&](const QString& path) {
            if (claimed.contains(nameOf(path)))
                return false;
            const std::optional<fs::FileStatus> status = fs::status(path, fs::Links::dontFollow);
            const bool old = status && QDateTime::fromSecsSinceEpoch(status->modifiedSecs, Qt::UTC) < olderThan;
            young = young || !old;
            return old;
        });
        if (allGone && !young) {
            QFile::remove(dir + u'/' + list);
            QFile::remove(ResumeState::journalPath(dir, id));
        }
    }
}

} // namespace kivo
