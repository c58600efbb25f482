// SPDX-License-Identifier: Apache-2.0
#include "cli/DevtoolsCommand.h"
#include "platform/AccountHome.h"

#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/Reporter.h"
#include "cli/Invocation.h"
#include "devtools/EngineeringAuditReport.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/HostNames.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdio>

namespace kivo::cli {

namespace {

void print(const QString& text) { std::fputs(text.toUtf8().constData(), stdout); }

QJsonObject planJson(const EngineeringMigrationPlan& plan, const files::Listing& listing)
{
    QJsonArray items, folders, manifest, entries, skipped;
    for (const MigrationItem& m : plan.items())
        items.append(m.toJson());
    for (const MigrationItem& m : plan.devDirectoryItems())
        folders.append(m.toJson());
    for (const TransferManifest::FileItem& f : listing.items)
        manifest.append(QJsonObject{{QStringLiteral("relativePath"), f.relativePath},
                                    {QStringLiteral("size"), double(f.size)},
                                    {QStringLiteral("categoryID"), f.categoryID}});
    for (const TransferManifest::Entry& e : listing.entries)
        entries.append(e.toJson());
    for (const TransferManifest::SkippedFolder& f : listing.skipped)
        skipped.append(QJsonObject{{QStringLiteral("relativePath"), f.relativePath}, {QStringLiteral("reason"), f.text()}});
    return {{QStringLiteral("items"), items},
            {QStringLiteral("devDirectoryItems"), folders},
            {QStringLiteral("homebrewStrategy"), toString(plan.homebrewStrategy())},
            {QStringLiteral("homebrewForceBrewfile"), plan.homebrewForceBrewfile()},
            {QStringLiteral("totalSize"), double(plan.totalSize())},
            {QStringLiteral("manifestItems"), manifest},
            {QStringLiteral("manifestEntries"), entries},
            {QStringLiteral("notTransferred"), skipped}};
}

QString planText(const EngineeringMigrationPlan& plan, const files::Listing& listing)
{
    const QList<TransferManifest::FileItem>& entries = listing.items;
    QString out = QStringLiteral("## Migration Plan\n\n");
    for (const QList<MigrationItem>* list : {&plan.items(), &plan.devDirectoryItems()})
        for (const MigrationItem& m : *list)
            out += QStringLiteral("- [%1] %2 — %3%4\n")
                       .arg(m.isIncluded ? QStringLiteral("x") : QStringLiteral(" "))
                       .arg(m.name, m.description, m.sensitivityNote ? QStringLiteral(" (") + *m.sensitivityNote + u')' : QString());
    out += QStringLiteral("\nHomebrew: ") + displayText(plan.homebrewStrategy())
         + (plan.homebrewForceBrewfile() ? QStringLiteral(" — Architecture mismatch — Brewfile reinstall is the only option.") : QString())
         + QStringLiteral("\n\nManifest entries (%1, %2):\n\n").arg(entries.size()).arg(formatFileSize([&] {
               std::uint64_t total = 0;
               for (const auto& f : entries)
                   total += f.size;
               return total;
           }()));
    for (const TransferManifest::FileItem& f : entries)
        out += QStringLiteral("- %1 (%2)\n").arg(f.relativePath, formatFileSize(f.size));
    // Folders are implied by the files; links and empty folders are not.
    for (const TransferManifest::Entry& e : listing.entries)
        if (e.kind == TransferManifest::Entry::Kind::link)
            out += QStringLiteral("- %1 -> %2 (link)\n").arg(e.relativePath, QString::fromUtf8(e.linkTarget));
    if (!listing.skipped.isEmpty()) {
        out += QStringLiteral("\nLeft out:\n\n");
        for (const TransferManifest::SkippedFolder& f : listing.skipped)
            out += QStringLiteral("- %1 — %2\n").arg(f.relativePath, f.text());
    }
    return out;
}

} // namespace

DevtoolsOptions parseDevtools(const QStringList& args)
{
    const ParsedArguments p = parseArguments(*findCommand(QStringLiteral("devtools")), args);
    DevtoolsOptions o;
    o.home = QDir::cleanPath(QDir(p.isSet(QStringLiteral("home")) ? p.value(QStringLiteral("home")) : QDir::homePath()).absolutePath());
    o.json = p.isSet(QStringLiteral("json"));
    o.plan = p.isSet(QStringLiteral("plan"));
    o.include = p.values(QStringLiteral("include"));
    if (p.isSet(QStringLiteral("dest-arch")))
        o.destinationArchitecture = p.value(QStringLiteral("dest-arch"));
    if (p.isSet(QStringLiteral("connection")))
        o.connection = p.value(QStringLiteral("connection"));
    if (p.isSet(QStringLiteral("report")))
        o.report = p.value(QStringLiteral("report"));
    return o;
}

int runDevtools(const DevtoolsOptions& o)
{
    const DetectorSettings settings;
    const EngineeringToolsInventory inventory =
        EngineeringToolsDetector::inspect(o.home, host::ownerNameOf(o.home).value_or(host::loginUserName()), true, settings);
    EngineeringAuditReport report{inventory, o.destinationArchitecture.value_or(inventory.sourceArchitecture), o.connection};

    EngineeringMigrationPlan plan;
    plan.buildFromInventory(inventory, report.architectureMismatch(), true, true);
    for (const QString& name : o.include)
        if (!plan.toggleItem(name)) {
            printError(usageErrorText(QStringLiteral("devtools"), QStringLiteral("no developer item \"%1\" in %2").arg(name, o.home))
                           .chopped(1));
            return exitUsage;
        }

    const QDateTime now = QDateTime::currentDateTime();
    if (o.report) {
        const QString path = QFileInfo(*o.report).isDir()
                                 ? *o.report + u'/' + EngineeringAuditReport::fileName(now.date())
                                 : *o.report;
        try {
            fs::writeFileAtomically(path, report.exportMarkdown(now).toUtf8());
        } catch (const std::exception& e) {
            printError(QStringLiteral("Report not written: ") + describe(e));
            return exitTransferFailed;
        }
    }

    files::Listing entries;
    QTemporaryDir scratch;
    if (o.plan)
        entries = buildManifestItems(plan.selection(), inventory, {o.home, scratch.path(), now.date()});

    if (o.json) {
        QJsonObject out = inventory.toJson();
        if (o.plan)
            out.insert(QStringLiteral("plan"), planJson(plan, entries));
        // One object on one line, as every --json output is.
        std::fputs(QJsonDocument(out).toJson(QJsonDocument::Compact).constData(), stdout);
        std::fputc('\n', stdout);
        return exitSuccess;
    }
    print(report.exportMarkdown(now));
    if (o.plan)
        print(planText(plan, entries));
    if (o.report)
        std::fprintf(stderr, "Report written.\n");
    return exitSuccess;
}

} // namespace kivo::cli
