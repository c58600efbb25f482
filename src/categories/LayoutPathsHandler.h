#pragma once

#include "categories/CategoryHandlerBase.h"

namespace kivo {

// A category whose files are just those below its layout's paths, copied as
// they are: a Linux home's settings and browsers until they have handlers of
// their own.
class LayoutPathsHandler : public CategoryHandlerBase {
public:
    LayoutPathsHandler(QString categoryID, QString homeFolder);

    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
};

} // namespace kivo
