// SPDX-License-Identifier: Apache-2.0
#include "app/FlowEvents.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

TransferManifest::FileItem item(const QString& path, FileTransferStatus status)
{
    TransferManifest::FileItem i;
    i.relativePath = path;
    i.setAbsolutePath(u"/home/ann/"_s + path.mid(2));
    i.categoryID = u"userFiles"_s;
    i.transferStatus = status;
    return i;
}

TransferManifest::Entry link(const QString& path)
{
    TransferManifest::Entry e;
    e.kind = TransferManifest::Entry::Kind::link;
    e.relativePath = path;
    e.categoryID = u"userFiles"_s;
    return e;
}

FileError error(const QString& path, const QString& text)
{
    return {QUuid::createUuid(), path, u"userFiles"_s, text, {}};
}

} // namespace

// Which files a finished side lists as not transferred, and whether that fails the run.
TEST(TransferOutcome, FilesGivenUpForAnErrorFailTheRunOthersDoNot)
{
    using S = FileTransferStatus;
    struct Case {
        const char* what;
        QList<TransferManifest::FileItem> items;
        QList<TransferManifest::SkippedFolder> folders;
        QList<FileError> errors;
        QSet<QString> policySkipped;
        bool finished;
        QList<FileProblem> expected;
        QList<TransferManifest::Entry> entries = {};
    };
    const TransferManifest::SkippedFolder pipe{u"~/Documents/pipe"_s, u"userFiles"_s,
                                               u"a named pipe; only files, folders and links are copied"_s, false};
    const QList<Case> cases{
        {"everything completed", {item(u"~/a"_s, S::completed)}, {}, {}, {}, true, {}},
        {"kept by the conflict policy",
         {item(u"~/a"_s, S::skipped), item(u"~/b"_s, S::completed)}, {}, {}, {u"~/a"_s}, true, {}},
        {"a cloud placeholder is counted, not failed",
         {item(u"~/Documents/.x.pdf.icloud"_s, S::skipped)}, {}, {error(u"~/Documents/.x.pdf.icloud"_s, u"iCloud"_s)}, {},
         true, {}},
        {"every chunk refused: failed with the first reason given",
         {item(u"~/a"_s, S::failed), item(u"~/b"_s, S::completed)}, {},
         {error(u"~/a"_s, u"Write failed"_s), error(u"~/a"_s, u"Max retries exceeded"_s)}, {}, true,
         {{u"~/a"_s, u"Write failed"_s, true, u"userFiles"_s}}},
        {"skipped by the source for an error",
         {item(u"~/secret"_s, S::skipped)}, {}, {error(u"~/secret"_s, u"Permission denied"_s)}, {}, false,
         {{u"~/secret"_s, u"Permission denied"_s, false, u"userFiles"_s}}},
        {"failed without a recorded reason", {item(u"~/a"_s, S::failed)}, {}, {}, {}, false, {{u"~/a"_s, u"Failed"_s, true, u"userFiles"_s}}},
        {"never sent by a source that finished",
         {item(u"~/a"_s, S::pending), item(u"~/b"_s, S::inProgress)}, {}, {}, {}, true,
         {{u"~/a"_s, u"Not sent"_s, true, u"userFiles"_s}, {u"~/b"_s, u"Not sent"_s, true, u"userFiles"_s}}},
        {"pending on a side that cannot tell (destination, or unfinished)",
         {item(u"~/a"_s, S::pending)}, {}, {}, {}, false, {}},
        {"an unreadable folder comes first",
         {item(u"~/a"_s, S::failed)}, {{u"~/Documents/locked"_s, u"userFiles"_s, u"Permission denied"_s}},
         {error(u"~/a"_s, u"Changed during transfer"_s)}, {}, false,
         {{u"~/Documents/locked"_s, u"Folder could not be read: Permission denied"_s, false, u"userFiles"_s},
          {u"~/a"_s, u"Changed during transfer"_s, true, u"userFiles"_s}}},
        {"a link the destination could not place fails the run; one placed, or an unread folder's, does not",
         {item(u"~/a"_s, S::completed)}, {{u"~/locked"_s, u"userFiles"_s, u"Permission denied"_s}},
         {error(u"~/d/l"_s, u"File in path"_s), error(u"~/locked"_s, u"Permission denied"_s)}, {}, false,
         {{u"~/locked"_s, u"Folder could not be read: Permission denied"_s, false, u"userFiles"_s},
          {u"~/d/l"_s, u"File in path"_s, true, u"userFiles"_s}},
         {link(u"~/d/l"_s), link(u"~/d/m"_s), link(u"~/locked"_s)}},
        {"a kind never copied is listed and fails nothing",
         {item(u"~/a"_s, S::completed)}, {pipe}, {}, {}, true, {{pipe.relativePath, pipe.text(), false, u"userFiles"_s, true}}},
    };
    for (const Case& c : cases) {
        const auto failing = std::ranges::count_if(c.expected, [](const FileProblem& p) { return !p.neverCopied; });
        TransferManifest manifest;
        manifest.items = c.items;
        manifest.skippedFolders = c.folders;
        manifest.entries = c.entries;
        const QList<FileProblem> problems = TransferSummary::problemsOf(manifest, c.errors, c.policySkipped, c.finished);
        EXPECT_EQ(problems, c.expected) << c.what;

        TransferSummary summary;
        summary.notTransferred = problems;
        const std::optional<FlowFailure> failure = failureOf(summary);
        EXPECT_EQ(failure.has_value(), failing > 0) << c.what;
        if (failure) {
            EXPECT_EQ(failure->exitClass, FlowExit::transferFailed) << c.what;
            EXPECT_EQ(failure->text, u"%1 file(s) or folder(s) could not be transferred"_s.arg(failing));
        }
    }
}

// A category the destination could not put in place is one failure in place of its files, on both sides,
// in the summary and in the verification report: its files are failed, not verified, and its exit class
// says whether a system service was missing.
TEST(TransferOutcome, ACategoryThatCouldNotBeImportedTakesThePlaceOfItsFiles)
{
    const QString exportPath = u"~/.local/share/kivo/keychain/kivo-keychain-export-1.encrypted"_s;
    TransferManifest manifest;
    manifest.items = {item(u"~/a"_s, FileTransferStatus::completed), item(u"~/b"_s, FileTransferStatus::completed),
                      item(exportPath, FileTransferStatus::completed)};
    manifest.items[2].categoryID = u"keychain"_s;
    // The destination's: the export arrived and was answered in verification without a hash.
    const CategoryFailure locked{u"keychain"_s, u"Passwords and Keys"_s, u"Passwords and Keys could not be imported"_s, true, 1};
    const CategoryFailure damaged{locked.categoryID, locked.name, u"damaged"_s, false, 1};
    // The source's: all it learns is the export's mismatch.
    const CategoryFailure told{u"keychain"_s, u"Keychain"_s, u"not imported there"_s, false};
    const FileProblem exportProblem{exportPath, u"locked"_s, true, u"keychain"_s};
    struct Case {
        const char* what;
        QList<FileProblem> problems;
        QStringList mismatches;
        CategoryFailure failure;
        QList<CategoryFailure> expected;
        int failed; // of the 1 failed item the destination counted
        int verified; // of the 3 files verification counted
        std::optional<FlowFailure> outcome;
    };
    const QList<Case> cases{
        {"destination, the service missing", {exportProblem}, {}, locked, {locked}, 1, 2,
         FlowFailure{FlowExit::serviceUnavailable, locked.reason}},
        {"destination, another reason", {exportProblem}, {}, damaged, {damaged}, 1, 2,
         FlowFailure{FlowExit::transferFailed, u"damaged"_s}},
        {"a file of the user's failed as well: that fails the run first", {exportProblem, {u"~/a"_s, u"x"_s, true, u"userFiles"_s}},
         {}, locked, {locked}, 1, 2, FlowFailure{FlowExit::transferFailed, u"1 file(s) or folder(s) could not be transferred"_s}},
        {"source, told by verification", {}, {exportPath}, told, {told}, 2, 2,
         FlowFailure{FlowExit::transferFailed, u"not imported there"_s}},
        {"source, nothing wrong with the category", {}, {u"~/a"_s}, told, {}, 1, 3,
         FlowFailure{FlowExit::transferFailed, u"1 file(s) failed verification"_s}},
    };
    for (const Case& c : cases) {
        TransferSummary summary;
        summary.filesCompleted = 2;
        summary.failed = 1;
        summary.verified = 3;
        summary.notTransferred = c.problems;
        summary.mismatches = c.mismatches;
        summary.takeCategoryFailures(manifest, {c.failure});
        EXPECT_EQ(summary.categoryFailures, c.expected) << c.what;
        EXPECT_EQ(summary.failed, c.failed) << c.what;
        EXPECT_EQ(summary.verified, c.verified) << c.what;
        for (const FileProblem& p : summary.notTransferred)
            EXPECT_NE(p.path, exportPath) << c.what;
        EXPECT_FALSE(summary.mismatches.contains(exportPath)) << c.what;
        EXPECT_EQ(failureOf(summary), c.outcome) << c.what;

        // What verification reports as it ends says the same.
        VerificationReport report{3, 0, c.mismatches, {}};
        report.takeCategoryFailures(manifest, {c.failure});
        EXPECT_EQ(report.categoryFailures, c.expected) << c.what;
        EXPECT_EQ(report.checked, c.verified) << c.what;
        EXPECT_EQ(report.mismatches, summary.mismatches) << c.what;
    }
}
