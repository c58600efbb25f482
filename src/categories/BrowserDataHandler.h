// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"

#include <functional>

namespace kivo {

// "browserData": each known browser's profile folder; on the destination a
// running browser's items are refused.
class BrowserDataHandler : public CategoryHandlerBase {
public:
    struct BrowserInfo {
        QString name;
        QString processName; // the running program's name, compared exactly
        QStringList paths;
    };
    static const QList<BrowserInfo>& browsers();

    explicit BrowserDataHandler(QString homeFolder, QString procRoot = QStringLiteral("/proc"));

    // Ignores `paths`: every browser folder that exists.
    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;

    // Each item under a running browser's folder, once, with the reason.
    static QList<Refusal> refusals(const QList<Item>& items, const std::function<bool(const QString&)>& isRunning);
    // Which browsers run now, for this home's owner, by process name.
    QStringList runningBrowsers() const;

private:
    QString m_procRoot;
};

} // namespace kivo
