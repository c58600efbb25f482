// SPDX-License-Identifier: Apache-2.0
#include "transfer/FileBundle.h"
#include "transfer/TransferError.h"

#include <gtest/gtest.h>

#include <limits>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

constexpr std::uint32_t MiB = 1048576;

MessageHeader bundleOf(QList<std::uint64_t> sizes)
{
    MessageHeader h;
    h.type = MessageType::fileBundle;
    h.fileHashes = QList<FileVerification>{};
    for (qsizetype i = 0; i < sizes.size(); ++i)
        h.fileHashes->append({u"~/f%1"_s.arg(i), QString(64, u'a'), sizes[i]});
    return h;
}

} // namespace

// Both sides take the smaller of the two limits; silence on either side is the
// file-by-file exchange, and a destination agreeing to what was never offered is refused.
TEST(FileBundle, NegotiatesTheSmallerLimitAndNothingFromSilence)
{
    const struct {
        std::optional<std::uint32_t> offered;
        std::uint32_t destinationLimit;
        std::uint32_t accepted;
    } accepts[] = {
        {std::nullopt, MiB, 0}, {0u, MiB, 0}, {MiB, 0, 0}, {MiB, MiB, MiB}, {64 * 1024u, MiB, 64 * 1024u},
        {MiB, 4096, 4096},      {8 * MiB, 8 * MiB, MiB}, // never beyond what a frame may carry
    };
    for (const auto& c : accepts) {
        MessageHeader manifest;
        manifest.fileBundles = c.offered;
        EXPECT_EQ(FileBundle::accept(manifest, c.destinationLimit), c.accepted);
    }
    const struct {
        std::optional<std::uint32_t> answered;
        std::uint32_t offered;
        std::optional<std::uint32_t> agreed; // nullopt: refused
    } agreements[] = {
        {std::nullopt, MiB, 0u}, {0u, MiB, 0u}, {MiB, MiB, MiB}, {4096u, MiB, 4096u},
        {8 * MiB, MiB, MiB},     {MiB, 0, std::nullopt},
    };
    for (const auto& c : agreements) {
        MessageHeader ack;
        ack.fileBundles = c.answered;
        std::optional<std::uint32_t> got;
        try {
            got = FileBundle::agreed(ack, c.offered);
        } catch (const TransferError& e) {
            EXPECT_EQ(e.kind(), TransferError::Kind::invalidMessage);
        }
        EXPECT_EQ(got, c.agreed) << c.answered.value_or(0) << " / " << c.offered;
    }
}

// A received bundle is used only when its entries account for its payload
// exactly, within the agreed size and count.
TEST(FileBundle, EntriesAreCheckedAgainstThePayloadBeforeUse)
{
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    const struct {
        const char* name;
        MessageHeader header;
        qsizetype payload;
        std::uint32_t limit;
        bool valid;
    } cases[] = {
        {"files end to end", bundleOf({3, 0, 5}), 8, MiB, true},
        {"only empty files", bundleOf({0, 0}), 0, MiB, true},
        {"no list", MessageHeader{}, 0, MiB, false},
        {"empty list", bundleOf({}), 0, MiB, false},
        {"sizes short of the payload", bundleOf({3, 4}), 8, MiB, false},
        {"sizes beyond the payload", bundleOf({3, 6}), 8, MiB, false},
        {"a size that would wrap the sum", bundleOf({8, huge}), 8, MiB, false},
        {"payload over the agreed limit", bundleOf({5000}), 5000, 4096, false},
        {"more files than a bundle holds", bundleOf(QList<std::uint64_t>(FileBundle::kMaxFiles + 1, 0)), 0, MiB, false},
    };
    for (const auto& c : cases) {
        const auto got = FileBundle::entries(c.header, c.payload, c.limit);
        EXPECT_EQ(std::holds_alternative<QList<FileBundle::Entry>>(got), c.valid) << c.name;
    }
    const auto entries = std::get<QList<FileBundle::Entry>>(FileBundle::entries(bundleOf({3, 0, 5}), 8, MiB));
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[1], (FileBundle::Entry{u"~/f1"_s, QString(64, u'a'), 3, 0}));
    EXPECT_EQ(entries[2].offset, 3u);
    EXPECT_EQ(entries[2].size, 5u);
}

// Files go into a bundle while every limit holds; a file alone always fits.
TEST(FileBundle, PackerStopsAtTheFirstLimitReached)
{
    const struct {
        const char* name;
        QList<std::pair<std::uint64_t, qsizetype>> files; // size, path bytes
        std::uint32_t limit;
        qsizetype taken;
    } cases[] = {
        {"payload fills exactly", {{600, 10}, {400, 10}, {1, 10}}, 1000, 2},
        {"a lone file larger than the limit still goes", {{5000, 10}, {1, 10}}, 1000, 1},
        {"count", QList<std::pair<std::uint64_t, qsizetype>>(FileBundle::kMaxFiles + 3, {0, 10}), MiB, FileBundle::kMaxFiles},
        {"path bytes", {{1, FileBundle::kMaxPathBytes - 5}, {1, 5}, {1, 1}}, MiB, 2},
    };
    for (const auto& c : cases) {
        FileBundle::Packer packer(c.limit);
        qsizetype taken = 0;
        for (const auto& [size, pathBytes] : c.files) {
            if (!packer.add(size, pathBytes))
                break;
            ++taken;
        }
        EXPECT_EQ(taken, c.taken) << c.name;
        EXPECT_EQ(packer.files(), c.taken) << c.name;
    }
}
