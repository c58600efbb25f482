// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UniqueFd.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

namespace kivo {

struct ResumeState;

// The folders a transfer's partial copies go into, listed beside its checkpoint
// (`<transferID>.folders`): discarding the transfer finds them there, without a
// walk of the whole home. A folder is listed before the first copy goes into it.
class PartialFolders {
public:
    PartialFolders(QString transfersDir, QString transferID);

    // Lists the folder unless it already is. Throws SystemError.
    void note(const QString& folder);

    static QString listPath(const QString& transfersDir, const QString& transferID);
    // The hidden name a file's bytes gather under until it is complete and checked.
    static QString partialName(const QString& transferID, const QString& relativePath);
    // Whether `name` is spelt as partialName spells names: nothing else is ever swept.
    static bool isPartialName(QStringView name);

    // Removes the transfer's partial copies, its checkpoint and its list.
    static void discard(const QString& homeFolder, const QString& transferID);
    // Removes the copies in the listed folders that `state`'s files may have left,
    // those of files no longer in the transfer included.
    void sweepLeftBy(const QString& homeFolder, const ResumeState& state) const;
    // Partial copies of transfers whose checkpoint is gone, untouched since
    // before `olderThan`: removed, and the list once nothing of it is left.
    // Copies a checkpoint still names stay.
    static void sweepOrphans(const QString& homeFolder, const QDateTime& olderThan);

private:
    QString m_path;
    QSet<QString> m_listed;
    UniqueFd m_file;
};

} // namespace kivo
