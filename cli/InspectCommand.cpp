#include "cli/InspectCommand.h"

#include "categories/BrowserDataHandler.h"
#include "categories/CategoryHandlers.h"
#include "categories/DataCategory.h"
#include "categories/KeychainExport.h"
#include "categories/SystemSettingsHandler.h"
#include "cli/CliOptions.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/SecretService.h"
#include "transfer/Background.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <cstdio>

namespace kivo::cli {

namespace {

QJsonArray keychainItems()
{
    secrets::Keychain keychain;
    QJsonArray out;
    for (const secrets::Item& item : keychain.items(false)) {
        QJsonObject attributes;
        for (auto it = item.attributes.cbegin(); it != item.attributes.cend(); ++it)
            attributes.insert(it.key(), it.value());
        const bool internet = item.schema == QLatin1String(secrets::kNetworkPasswordSchema);
        out.append(QJsonObject{{QStringLiteral("label"), item.label},
                               {QStringLiteral("class"), internet ? QStringLiteral("internet") : QStringLiteral("generic")},
                               {QStringLiteral("attributes"), attributes}});
    }
    return out;
}

struct Inspection {
    QJsonArray categories;
    QStringList failures;
};

QCoro::Task<Inspection> inspect(QString home, QStringList ids)
{
    Inspection result;
    for (const QString& id : ids) {
        QStringList paths;
        for (const DataCategory& c : DataCategory::allCategories())
            if (c.id == id)
                paths = c.paths;
        // A throwaway key: the export is sealed as it would be, and dropped.
        QByteArray key(keychain::kKeyBytes, Qt::Uninitialized);
        QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(key.data()),
                                             reinterpret_cast<quint32*>(key.data() + key.size()));
        std::shared_ptr<CategoryTransferHandler> handler = makeCategoryHandler(id, home, key);
        QJsonObject category{{QStringLiteral("id"), id}};
        QJsonArray items;
        std::uint64_t total = 0;
        CategoryTransferHandler::Listing listing;
        try {
            listing = co_await handler->enumerateListing(paths);
            if (id == QLatin1String("keychain")) {
                // Named first: g++ 12 mishandles lambda temporaries inside co_await.
                QCoro::Task<QJsonArray> listing = runInBackground(&keychainItems);
                category.insert(QStringLiteral("keychainItems"), co_await std::move(listing));
            }
        } catch (const std::exception& e) {
            result.failures.append(QStringLiteral("%1: %2").arg(id, describe(e)));
            category.insert(QStringLiteral("error"), describe(e));
        }
        for (const auto& item : std::as_const(listing.items)) {
            items.append(QJsonObject{{QStringLiteral("relativePath"), item.relativePath},
                                     {QStringLiteral("size"), double(item.size)}});
            total += item.size;
        }
        category.insert(QStringLiteral("items"), items);
        category.insert(QStringLiteral("totalSize"), double(total));
        if (auto* settings = dynamic_cast<SystemSettingsHandler*>(handler.get())) {
            QJsonArray domains;
            for (const auto& d : settings->lastExports())
                domains.append(QJsonObject{{QStringLiteral("domain"), d.domain},
                                           {QStringLiteral("exported"), d.exported},
                                           {QStringLiteral("reason"), d.reason}});
            category.insert(QStringLiteral("domains"), domains);
        }
        if (auto* browsers = dynamic_cast<BrowserDataHandler*>(handler.get())) {
            auto runningCheck = [browsers] { return browsers->runningBrowsers(); };
            QCoro::Task<QStringList> checking = runInBackground(runningCheck);
            const QStringList running = co_await std::move(checking);
            QJsonArray list;
            for (const auto& b : BrowserDataHandler::browsers()) {
                int files = 0;
                for (const auto& item : std::as_const(listing.items))
                    for (const QString& p : b.paths)
                        files += item.relativePath.startsWith(p + u'/');
                list.append(QJsonObject{{QStringLiteral("name"), b.name},
                                        {QStringLiteral("running"), running.contains(b.processName)},
                                        {QStringLiteral("files"), files}});
            }
            category.insert(QStringLiteral("browsers"), list);
        }
        result.categories.append(category);
        // The handler goes here, and with it any export it made.
    }
    co_return result;
}

void printHuman(const QJsonArray& categories)
{
    for (const QJsonValue& v : categories) {
        const QJsonObject c = v.toObject();
        const QJsonArray items = c.value(QStringLiteral("items")).toArray();
        std::printf("%s: %lld file(s), %s\n", qUtf8Printable(c.value(QStringLiteral("id")).toString()),
                    qlonglong(items.size()),
                    qUtf8Printable(formatFileSize(std::uint64_t(c.value(QStringLiteral("totalSize")).toDouble()))));
        for (const QJsonValue& k : c.value(QStringLiteral("keychainItems")).toArray())
            std::printf("  key  %s (%s)\n", qUtf8Printable(k.toObject().value(QStringLiteral("label")).toString()),
                        qUtf8Printable(k.toObject().value(QStringLiteral("class")).toString()));
        for (const QJsonValue& d : c.value(QStringLiteral("domains")).toArray()) {
            const QJsonObject o = d.toObject();
            std::printf("  %s %s%s\n", o.value(QStringLiteral("exported")).toBool() ? "yes" : "no ",
                        qUtf8Printable(o.value(QStringLiteral("domain")).toString()),
                        o.value(QStringLiteral("exported")).toBool()
                            ? ""
                            : qUtf8Printable(QStringLiteral(" (") + o.value(QStringLiteral("reason")).toString() + u')'));
        }
        for (const QJsonValue& b : c.value(QStringLiteral("browsers")).toArray()) {
            const QJsonObject o = b.toObject();
            std::printf("  %s: %d file(s)%s\n", qUtf8Printable(o.value(QStringLiteral("name")).toString()),
                        o.value(QStringLiteral("files")).toInt(),
                        o.value(QStringLiteral("running")).toBool() ? ", running" : "");
        }
    }
}

} // namespace

int runInspect(const InspectOptions& o)
{
    if (!QDir(o.home).exists()) {
        std::fprintf(stderr, "kivo-cli: home folder \"%s\" does not exist\n", qUtf8Printable(o.home));
        return exitUsage;
    }
    QStringList ids;
    for (const DataCategory& c : DataCategory::allCategories())
        ids << c.id;
    std::optional<Inspection> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await inspect(o.home, o.categories.value_or(ids));
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    if (o.json)
        std::printf("%s\n", QJsonDocument(QJsonObject{{QStringLiteral("categories"), result->categories}})
                                .toJson(QJsonDocument::Compact).constData());
    else
        printHuman(result->categories);
    for (const QString& failure : std::as_const(result->failures))
        std::fprintf(stderr, "%s\n", qUtf8Printable(failure));
    return result->failures.isEmpty() ? exitSuccess : exitTransferFailed;
}

} // namespace kivo::cli
