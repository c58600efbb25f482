// SPDX-License-Identifier: Apache-2.0
#include "app/FlowEvents.h"

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
    };
    for (const Case& c : cases) {
        TransferManifest manifest;
        manifest.items = c.items;
        manifest.skippedFolders = c.folders;
        manifest.entries = c.entries;
        const QList<FileProblem> problems = TransferSummary::problemsOf(manifest, c.errors, c.policySkipped, c.finished);
        EXPECT_EQ(problems, c.expected) << c.what;

        TransferSummary summary;
        summary.notTransferred = problems;
        const std::optional<FlowFailure> failure = failureOf(summary);
        EXPECT_EQ(failure.has_value(), !c.expected.isEmpty()) << c.what;
        if (failure) {
            EXPECT_EQ(failure->exitClass, FlowExit::transferFailed) << c.what;
            EXPECT_EQ(failure->text, u"%1 file(s) or folder(s) could not be transferred"_s.arg(c.expected.size()));
        }
    }
}
