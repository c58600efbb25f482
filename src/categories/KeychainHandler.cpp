// SPDX-License-Identifier: Apache-2.0
#include "categories/KeychainHandler.h"

#include "categories/FileEnumeration.h"
#include "categories/KeychainExport.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/Background.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

// Secrets leave memory as soon as they are no longer needed (this copy; a
// shared buffer is copied first and stays with its other owner).
void wipe(QByteArray& bytes)
{
    bytes.fill('\0');
    bytes.clear();
}

void wipe(QList<secrets::Item>& items)
{
    for (secrets::Item& item : items)
        wipe(item.secret);
    items.clear();
}

TransferManifest::FileItem writeExport(const QString& folder, const QByteArray& key, const QString& categoryID,
                                       const QString& announcedFolder)
{
    const QByteArray sealed = KeychainHandler::sealedExport(key);
    const QString path = folder + QStringLiteral("/keychain-export.encrypted");
    const UniqueFd out = fs::openForAppend(path, true);
    fs::writeAll(out.get(), sealed, path);
    const auto status = fs::status(out);
    if (!status)
        throw SystemError(QStringLiteral("Cannot read back the keychain export"));
    const QString name = KeychainHandler::exportPrefix() + u'-'
        + QString::number(QRandomGenerator::system()->generate64(), 16) + QStringLiteral(".encrypted");
    TransferManifest::FileItem item = files::makeItem(path, announcedFolder + name, *status, categoryID);
    item.mode = 0600;
    return item;
}

} // namespace

const QString& KeychainHandler::exportFolder(HomeLayoutKind layout)
{
    static const QString mac = QStringLiteral("~/Library/Keychains/");
    static const QString linuxFolder = QStringLiteral("~/.local/share/kivo/keychain/");
    return layout == HomeLayoutKind::Linux ? linuxFolder : mac;
}

const QString& KeychainHandler::exportPrefix()
{
    static const QString prefix = QStringLiteral("kivo-keychain-export");
    return prefix;
}

KeychainHandler::KeychainHandler(QString homeFolder, QByteArray sessionKey, HomeLayoutKind layout)
    : CategoryHandlerBase(QStringLiteral("keychain"), std::move(homeFolder)), m_key(std::move(sessionKey)),
      m_layout(layout)
{
}

KeychainHandler::~KeychainHandler() { wipe(m_key); }

QString KeychainHandler::sourceProblem(HomeLayoutKind layout, KeychainAdvice advice)
{
    QString reason;
    try {
        secrets::Keychain keychain;
        reason = keychain.defaultCollectionProblem();
    } catch (const std::exception& e) {
        reason = describe(e);
    }
    return reason.isEmpty() ? reason : unreadableText(reason, layout, advice);
}

namespace {

// The service's reason inside a sentence of ours.
QString midSentence(QString reason)
{
    if (reason.size() > 1 && reason[0].isUpper() && reason[1].isLower())
        reason[0] = reason[0].toLower();
    while (reason.endsWith(u'.'))
        reason.chop(1);
    return reason;
}

} // namespace

QString KeychainHandler::unreadableText(const QString& reason, HomeLayoutKind layout, KeychainAdvice advice)
{
    // Named as the selection screen names it for this home.
    const QString name = HomeLayout::of(layout).displayNameFor(QStringLiteral("keychain"));
    const QString wayOut = advice == KeychainAdvice::desktopApp
        ? QStringLiteral("Unlock the keyring and check again, or leave %1 out.").arg(name)
        : QStringLiteral("Run kivo-cli inside your desktop session with the keyring unlocked, or leave %1 out by "
                         "naming the other categories with --categories.")
              .arg(name);
    return QStringLiteral("%1 cannot be read on this computer: %2. %3").arg(name, midSentence(reason), wayOut);
}

QString KeychainHandler::notImportedText(const QString& reason)
{
    // Read on either front end: a receive over ssh or from a console has no keyring to reach.
    return QStringLiteral("Passwords and Keys could not be imported: %1. Unlock the keyring in your desktop session "
                          "and migrate again from inside it, on both computers; what arrived is kept.")
        .arg(midSentence(reason));
}

QByteArray KeychainHandler::sealedExport(const QByteArray& key)
{
    secrets::Keychain keychain;
    QList<secrets::Item> items = keychain.items(true);
    QByteArray plain = keychain::encodeItems(items);
    wipe(items);
    QByteArray sealed = keychain::seal(plain, key);
    wipe(plain);
    if (sealed.size() > keychain::kMaxExportBytes)
        throw SystemError(QStringLiteral("The keychain export is larger than 64 MiB"));
    return sealed;
}

QCoro::Task<QList<CategoryTransferHandler::Item>> KeychainHandler::enumerateFiles(QStringList)
{
    if (m_key.size() != keychain::kKeyBytes)
        throw SystemError(QStringLiteral("The keychain moves only between machines that paired securely"));
    const QString path = m_exportFolder.renew(QStringLiteral("kivo-keychain-XXXXXX"), QStringLiteral("the keychain export"));
    auto exporting = startInBackground([path, key = m_key, id = categoryID(), folder = exportFolder(m_layout)] {
        return writeExport(path, key, id, folder);
    });
    const TransferManifest::FileItem item = co_await finishInBackground(std::move(exporting));
    co_return QList<Item>{item};
}

void KeychainHandler::discardExport()
{
    m_exportFolder.discard();
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> KeychainHandler::preflightDestination(QList<Item> items)
{
    // An export too large to be read is not even written.
    QList<Refusal> refused;
    for (const Item& item : std::as_const(items))
        if (item.size > std::uint64_t(keychain::kMaxExportBytes))
            refused.append({item.relativePath, QStringLiteral("The keychain export is larger than 64 MiB")});
    // Whichever layout the earlier source had.
    for (HomeLayoutKind layout : {HomeLayoutKind::MacOS, HomeLayoutKind::Linux}) {
        const QString folder = home().expandTilde(exportFolder(layout));
        QDir dir(folder);
        const QStringList leftovers =
            dir.entryList({exportPrefix() + QStringLiteral("*.encrypted")}, QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& name : leftovers) {
            qCInfo(lcCategories).noquote() << "Removing a keychain export an earlier run left:" << name;
            QFile::remove(folder + name);
        }
    }
    co_return refused;
}

CategoryTransferHandler::ImportCounts KeychainHandler::importExport(const QString& path, const QByteArray& key)
{
    const auto status = fs::status(path, fs::Links::dontFollow);
    if (!status || !status->isRegular())
        throw SystemError(QStringLiteral("The keychain export is missing"));
    if (status->size > std::uint64_t(keychain::kMaxExportBytes))
        throw SystemError(QStringLiteral("The keychain export is larger than 64 MiB and was not read"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw SystemError(QStringLiteral("Cannot read the keychain export: ") + file.errorString());
    const QByteArray sealed = file.read(keychain::kMaxExportBytes + 1);
    file.close();
    QByteArray plain = keychain::open(sealed, key);
    QList<secrets::Item> items;
    try {
        items = keychain::decodeItems(plain);
    } catch (...) {
        wipe(plain);
        throw;
    }
    wipe(plain);

    ImportCounts counts;
    try {
        std::optional<secrets::Keychain> keychain;
        QString problem;
        try {
            keychain.emplace();
            problem = keychain->defaultCollectionProblem();
        } catch (const secrets::Unavailable& e) {
            problem = e.description();
        }
        if (!problem.isEmpty())
            throw secrets::Unavailable(notImportedText(problem));
        for (const secrets::Item& item : std::as_const(items)) {
            try {
                ++(keychain->store(item) == secrets::Stored::created ? counts.imported : counts.updated);
            } catch (const std::exception& e) {
                qCWarning(lcCategories).noquote() << "Keychain item not imported:" << describe(e);
                ++counts.failed;
            }
        }
    } catch (...) {
        wipe(items);
        throw;
    }
    wipe(items);
    QFile::remove(path);
    return counts;
}

QCoro::Task<std::optional<CategoryTransferHandler::ImportCounts>> KeychainHandler::postImport(QStringList receivedFiles)
{
    if (m_key.size() != keychain::kKeyBytes)
        throw SystemError(QStringLiteral("The keychain moves only between machines that paired securely"));
    auto importing = startInBackground([receivedFiles, key = m_key, home = home()] {
        ImportCounts total;
        for (const QString& received : receivedFiles) {
            const QString path = home.expandTilde(received);
            if (!fs::status(path, fs::Links::dontFollow))
                continue;
            const ImportCounts one = importExport(path, key);
            total.imported += one.imported;
            total.updated += one.updated;
            total.failed += one.failed;
        }
        return total;
    });
    co_return co_await finishInBackground(std::move(importing));
}

} // namespace kivo
