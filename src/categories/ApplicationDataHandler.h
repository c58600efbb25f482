#pragma once

#include "categories/CategoryHandlerBase.h"

#include <QSet>

namespace kivo {

// "applicationData": application support files and preferences; on the
// destination, preferences of applications it does not have are refused.
class ApplicationDataHandler : public CategoryHandlerBase {
public:
    explicit ApplicationDataHandler(QString homeFolder);

    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
    // Preferences of applications not installed here.
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;

    // The refusals for `items` given the bundle identifiers installed here.
    static QList<Refusal> refusals(const QList<Item>& items, const QSet<QString>& installed);
};

} // namespace kivo
