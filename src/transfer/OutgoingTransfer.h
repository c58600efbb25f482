// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace kivo {

// The source keeps the identifier of an unfinished migration beside its own
// data, so that running the same send again after a crash continues under the
// same transferID and the destination's checkpoint applies. It is removed once
// a transfer reaches its end; a different selection starts a new migration.
struct OutgoingTransfer {
    QString transferID;
    QStringList categories; // sorted
    QStringList folders;    // sorted

    static QString path(const QString& homeFolder);
    // The stored record when its selection equals this one (both lists sorted).
    static std::optional<OutgoingTransfer> loadMatching(const QString& homeFolder, const QStringList& categories,
                                                        const QStringList& folders);
    // Atomic; a record that cannot be written only costs the resume. False then.
    bool save(const QString& homeFolder) const;
    static void remove(const QString& homeFolder);
};

} // namespace kivo
