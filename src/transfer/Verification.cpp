// SPDX-License-Identifier: Apache-2.0
#include "transfer/Verification.h"

#include <QSet>

namespace kivo {

VerificationTally compareWithSent(const QList<FileVerification>& answered, const QList<TransferManifest::FileItem>& items,
                                  const ItemsByPath& byPath, const SentHashes& sent)
{
    VerificationTally tally;
    tally.checked = answered.size();
    for (const FileVerification& v : answered) {
        const qsizetype i = byPath.find(items, v.filePath);
        if (i < 0)
            continue;
        if (i < sent.size() && sent[i]) {
            if (Sha256Digest::fromHex(v.sha256Hash) != *sent[i])
                tally.mismatches.append(v.filePath);
        } else if (items[i].transferStatus == FileTransferStatus::completed && !Sha256Digest::fromHex(v.sha256Hash)) {
            // Sent by an earlier run: the destination compared it with what it recorded then.
            tally.mismatches.append(v.filePath);
        }
    }
    return tally;
}

CompletedMatch matchCompleted(const QList<TransferManifest::FileItem>& items, const ResumeState& checkpoint)
{
    CompletedMatch out;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (!checkpoint.isCompleted(item.relativePath))
            continue;
        out.indices.append(i);
        CompletedMatch::Totals& t = out.perCategory[item.categoryID];
        t.files += 1;
        t.bytes += item.size;
    }
    return out;
}

} // namespace kivo
