// SPDX-License-Identifier: Apache-2.0
#include "app/PreflightCheckList.h"

#include "platform/ByteCount.h"
#include "preflight/PreflightChecker.h"

#include <QVariantMap>

namespace kivo {

namespace {

// The checker lists its findings in check order; each raising check takes the next one.
class Findings {
public:
    explicit Findings(const QStringList& texts) : m_texts(texts) {}
    QStringList next(bool raised)
    {
        if (!raised)
            return {};
        return m_index < m_texts.size() ? QStringList{m_texts[m_index++]} : QStringList{};
    }

private:
    const QStringList& m_texts;
    qsizetype m_index = 0;
};

CheckLine line(QString title, bool raised, CheckOutcome whenRaised, QStringList findings, QString detail = {})
{
    return {std::move(title), raised ? whenRaised : CheckOutcome::passed, raised ? QString() : std::move(detail),
            std::move(findings)};
}

} // namespace

QList<CheckLine> checkLines(const PreflightResult& r, bool macShapedHome)
{
    Findings blockers(r.blockers);
    Findings warnings(r.warnings);
    QList<CheckLine> out;
    out << line(QStringLiteral("Home folder can be read"), !r.sourceHomeReadable, CheckOutcome::failed,
                blockers.next(!r.sourceHomeReadable));
    const QString space = r.destinationFreeBytes > 0
        ? QStringLiteral("%1 free, %2 to move").arg(formatFileSize(r.destinationFreeBytes), formatFileSize(r.requiredBytes))
        : QStringLiteral("Free space could not be measured");
    out << line(QStringLiteral("Enough free space on the destination"), !r.destinationSpaceAvailable, CheckOutcome::failed,
                blockers.next(!r.destinationSpaceAvailable), space);
    out << line(QStringLiteral("Organisation enrolment"), !r.destinationMDMEnrolled, CheckOutcome::warning,
                warnings.next(!r.destinationMDMEnrolled), QStringLiteral("Enrolled"));
    out << line(macShapedHome ? QStringLiteral("iCloud placeholders") : QStringLiteral("Cloud-only files"),
                r.iCloudStubsDetected, CheckOutcome::warning, warnings.next(r.iCloudStubsDetected),
                QStringLiteral("None found"));
    out << line(QStringLiteral("Browsers closed"), !r.browsersClosed, CheckOutcome::warning,
                warnings.next(!r.browsersClosed));
    out << line(QStringLiteral("Power connected"), !r.sourcePowerConnected, CheckOutcome::warning,
                warnings.next(!r.sourcePowerConnected));
    return out;
}

QString outcomeName(CheckOutcome outcome)
{
    switch (outcome) {
    case CheckOutcome::passed:
        return QStringLiteral("passed");
    case CheckOutcome::warning:
        return QStringLiteral("warning");
    case CheckOutcome::failed:
        return QStringLiteral("failed");
    }
    return {};
}

QVariantList checkLineRows(const QList<CheckLine>& lines)
{
    QVariantList rows;
    for (const CheckLine& l : lines)
        rows.append(QVariantMap{{QStringLiteral("title"), l.title},
                                {QStringLiteral("outcome"), outcomeName(l.outcome)},
                                {QStringLiteral("detail"), l.detail},
                                {QStringLiteral("findings"), l.findings}});
    return rows;
}

} // namespace kivo
