// SPDX-License-Identifier: Apache-2.0
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
    // The "~/" paths the listing walks, so that estimates count what is sent:
    // here the category's own; a handler that picks app by app gives its picks.
    virtual QCoro::Task<QStringList> pathsToSend(QStringList categoryPaths);
    // Preferences of applications not installed here, unless they are kept for later.
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;
    // Staged preferences wait for their application: then nothing is refused.
    void setKeepsPreferencesOfMissingApps(bool keep) { m_keepMissing = keep; }
    // Data ("~/" paths) of applications not installed here that the person chose
    // to send; a handler that lists only installed applications' data adds it.
    void setMissingAppDataSent(QStringList paths) { m_missingSent = std::move(paths); }

    // The refusals for `items` given the bundle identifiers installed here.
    static QList<Refusal> refusals(const QList<Item>& items, const QSet<QString>& installed);

protected:
    bool keepsPreferencesOfMissingApps() const { return m_keepMissing; }
    const QStringList& missingAppDataSent() const { return m_missingSent; }

private:
    bool m_keepMissing = false;
    QStringList m_missingSent;
};

} // namespace kivo
