// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringToolsInventory.h"

#include <QDateTime>
#include <QString>

namespace kivo {

// The inventory as a Markdown (CommonMark) audit report.
struct EngineeringAuditReport {
    EngineeringToolsInventory inventory;
    QString destinationArchitecture;
    QString connectionType = QStringLiteral("wifi"); // "thunderbolt", "ethernet" or "wifi"

    QString summary() const;
    QString exportMarkdown(const QDateTime& now = QDateTime::currentDateTime()) const;

    bool architectureMismatch() const;
    // Seconds to copy `bytes` over the report's connection.
    static QString copyTimeEstimate(std::uint64_t bytes, const QString& connectionType);
    // "kivo-engineering-audit-<date>.md".
    static QString fileName(const QDate& date);
};

} // namespace kivo
