// SPDX-License-Identifier: Apache-2.0
#include "cli/InspectCommand.h"

#include "categories/BrowserDataHandler.h"
#include "categories/CategoryHandlers.h"
#include "categories/DataCategory.h"
#include "categories/HomeLayout.h"
#include "categories/KeychainExport.h"
#include "categories/LinuxApplicationDataHandler.h"
#include "categories/SystemSettingsHandler.h"
#include "cli/CliOptions.h"
#include "cli/Reporter.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/SecretService.h"
#include "transfer/Background.h"

#include <QDir>
#include <QFileInfo>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <cstdio>
#include <functional>
#include <vector>

namespace kivo::cli {

QByteArray jsonString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += "\\u00" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    out += '"';
    return out;
}

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
    QStringList failures;
};

// Receives each category as soon as it is inspected: its fields but the items, and the items.
using CategorySink = std::function<void(const QJsonObject& category, const QList<TransferManifest::FileItem>& items)>;

QJsonArray detailsOf(const DataCategory& c)
{
    QJsonArray out;
    for (const CategoryDetail& d : c.details)
        out.append(d.toJson());
    return out;
}

// The category's places that this home has.
QJsonArray sourcesOf(const QString& home, const QStringList& paths)
{
    QJsonArray out;
    for (const QString& path : paths)
        if (QFileInfo::exists(home + path.mid(1)))
            out.append(path);
    return out;
}

void addApplications(QJsonObject& category, const LinuxAppDataScan& scan)
{
    QJsonArray apps;
    for (const FoundApp& app : scan.apps)
        apps.append(QJsonObject{{QStringLiteral("id"), app.id},
                                {QStringLiteral("name"), app.name},
                                {QStringLiteral("formats"), QJsonArray::fromStringList(app.formats)},
                                {QStringLiteral("installed"), app.installed},
                                {QStringLiteral("known"), app.fromTable},
                                {QStringLiteral("paths"), QJsonArray::fromStringList(app.paths)}});
    category.insert(QStringLiteral("applications"), apps);
    category.insert(QStringLiteral("unclaimed"), QJsonArray::fromStringList(scan.unclaimed));
    category.insert(QStringLiteral("sources"), QJsonArray::fromStringList(scan.sentPaths()));
}

struct Started {
    QString id;
    DataCategory row;
    std::shared_ptr<CategoryTransferHandler> handler;
    QCoro::Task<CategoryTransferHandler::Listing> listing;
};

// Every category's listing is under way before the first is awaited: the
// walks, the settings dump and the secret lookups wait on the disk and on
// other processes, and overlap.
std::vector<Started> startListings(const QString& home, HomeLayoutKind layout, const QStringList& ids)
{
    const QList<DataCategory> table = HomeLayout::of(layout).categoriesFor(home);
    std::vector<Started> started;
    started.reserve(std::size_t(ids.size()));
    for (const QString& id : ids) {
        DataCategory row;
        for (const DataCategory& c : table)
            if (c.id == id)
                row = c;
        // A throwaway key: the export is sealed as it would be, and dropped.
        QByteArray key(keychain::kKeyBytes, Qt::Uninitialized);
        QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(key.data()),
                                             reinterpret_cast<quint32*>(key.data() + key.size()));
        std::shared_ptr<CategoryTransferHandler> handler = makeCategoryHandler(id, home, layout, key);
        QCoro::Task<CategoryTransferHandler::Listing> listing = handler->enumerateListing(row.paths);
        started.push_back(Started{id, row, std::move(handler), std::move(listing)});
    }
    return started;
}

QCoro::Task<Inspection> inspect(QString home, HomeLayoutKind layout, QStringList ids, CategorySink sink)
{
    Inspection result;
    std::vector<Started> started = startListings(home, layout, ids);
    for (Started& s : started) {
        const QString& id = s.id;
        const DataCategory& row = s.row;
        const QStringList paths = row.paths;
        std::shared_ptr<CategoryTransferHandler> handler = std::move(s.handler);
        QJsonObject category{{QStringLiteral("id"), id},
                             {QStringLiteral("displayName"), row.displayName},
                             {QStringLiteral("description"), row.description},
                             {QStringLiteral("details"), detailsOf(row)},
                             {QStringLiteral("sources"), sourcesOf(home, paths)}};
        CategoryTransferHandler::Listing listing;
        try {
            listing = co_await std::move(s.listing);
            if (id == QLatin1String("keychain")) {
                // Named first: g++ 12 mishandles lambda temporaries inside co_await.
                QCoro::Task<QJsonArray> listing = runInBackground(&keychainItems);
                category.insert(QStringLiteral("keychainItems"), co_await std::move(listing));
            }
        } catch (const std::exception& e) {
            result.failures.append(QStringLiteral("%1: %2").arg(id, describe(e)));
            category.insert(QStringLiteral("error"), describe(e));
        }
        std::uint64_t total = 0;
        for (const auto& item : std::as_const(listing.items))
            total += item.size;
        category.insert(QStringLiteral("totalSize"), double(total));
        if (auto* apps = dynamic_cast<LinuxApplicationDataHandler*>(handler.get()))
            addApplications(category, apps->lastScan());
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
                QStringList folders;
                for (const QString& p : b.paths)
                    folders.append(p + u'/');
                int files = 0;
                for (const auto& item : std::as_const(listing.items))
                    for (const QString& folder : std::as_const(folders))
                        files += item.relativePath.startsWith(folder);
                list.append(QJsonObject{{QStringLiteral("name"), b.name},
                                        {QStringLiteral("running"), running.contains(b.processName)},
                                        {QStringLiteral("files"), files}});
            }
            category.insert(QStringLiteral("browsers"), list);
        }
        sink(category, listing.items);
        // The handler goes here, and with it any export it made.
    }
    co_return result;
}

void printHuman(const QJsonObject& c, qsizetype itemCount)
{
    std::printf("%s (%s): %lld file(s), %s\n", qUtf8Printable(c.value(QStringLiteral("displayName")).toString()),
                qUtf8Printable(c.value(QStringLiteral("id")).toString()), qlonglong(itemCount),
                qUtf8Printable(formatFileSize(std::uint64_t(c.value(QStringLiteral("totalSize")).toDouble()))));
    std::printf("  %s\n", qUtf8Printable(c.value(QStringLiteral("description")).toString()));
    for (const QJsonValue& d : c.value(QStringLiteral("details")).toArray()) {
        const QJsonObject o = d.toObject();
        const QString path = o.value(QStringLiteral("path")).toString();
        std::printf("  - %s%s\n", qUtf8Printable(o.value(QStringLiteral("label")).toString()),
                    path.isEmpty() ? "" : qUtf8Printable(QStringLiteral(" (") + path + u')'));
    }
    for (const QJsonValue& a : c.value(QStringLiteral("applications")).toArray()) {
        const QJsonObject o = a.toObject();
        std::printf("  app  %s [%s]: %lld place(s)\n", qUtf8Printable(o.value(QStringLiteral("name")).toString()),
                    qUtf8Printable(o.value(QStringLiteral("formats")).toVariant().toStringList().join(u',')),
                    qlonglong(o.value(QStringLiteral("paths")).toArray().size()));
    }
    for (const QJsonValue& u : c.value(QStringLiteral("unclaimed")).toArray())
        std::printf("  not sent (no installed app owns it): %s\n", qUtf8Printable(u.toString()));
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

// The report written as it is made: the items of a large home are never held
// as JSON, and the whole document never sits in memory.
class JsonReport {
public:
    JsonReport(std::FILE* out, const QString& layout) : m_out(out)
    {
        write("{\"layout\":" + jsonString(layout) + ",\"categories\":[");
    }
    void add(const QJsonObject& category, const QList<TransferManifest::FileItem>& items)
    {
        QByteArray head = QJsonDocument(category).toJson(QJsonDocument::Compact);
        head.chop(1); // its closing brace: the items follow
        write((m_first ? QByteArray() : QByteArrayLiteral(",")) + head + ",\"items\":[");
        m_first = false;
        QByteArray chunk;
        for (qsizetype i = 0; i < items.size(); ++i) {
            chunk += (i ? ",{\"relativePath\":" : "{\"relativePath\":") + jsonString(items[i].relativePath)
                + ",\"size\":" + QByteArray::number(quint64(items[i].size)) + '}';
            if (chunk.size() > 64 * 1024) {
                write(chunk);
                chunk.clear();
            }
        }
        write(chunk + "]}");
    }
    void finish() { write("]}\n"); }

private:
    void write(const QByteArray& bytes) { std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_out); }

    std::FILE* m_out;
    bool m_first = true;
};

} // namespace

int runInspect(const InspectOptions& o)
{
    const HomeLayoutKind layout = resolveLayout(o.layout, o.home).value_or(detectLayout(o.home));
    QStringList ids;
    for (const DataCategory& c : DataCategory::allCategories(layout))
        ids << c.id;
    std::optional<Inspection> result;
    std::optional<JsonReport> report;
    if (o.json)
        report.emplace(stdout, layoutName(layout));
    const CategorySink sink = [&report](const QJsonObject& category, const QList<TransferManifest::FileItem>& items) {
        if (report)
            report->add(category, items);
        else
            printHuman(category, items.size());
    };
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await inspect(o.home, layout, o.categories.value_or(ids), sink);
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    if (report)
        report->finish();
    for (const QString& failure : std::as_const(result->failures))
        printError(failure);
    return result->failures.isEmpty() ? exitSuccess : exitTransferFailed;
}

} // namespace kivo::cli
