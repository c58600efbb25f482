// SPDX-License-Identifier: Apache-2.0
#include "categories/CategoryHandlers.h"

#include "categories/ApplicationDataHandler.h"
#include "categories/BrowserDataHandler.h"
#include "categories/KeychainExport.h"
#include "categories/KeychainHandler.h"
#include "categories/LinuxApplicationDataHandler.h"
#include "categories/LinuxBrowserDataHandler.h"
#include "categories/LinuxSettingsHandler.h"
#include "categories/SystemSettingsHandler.h"
#include "categories/UserFilesHandler.h"

#include <functional>
#include <map>

namespace kivo {

namespace {

using Factory =
    std::function<std::shared_ptr<CategoryTransferHandler>(const QString& homeFolder, const QByteArray& sessionKey)>;
using Factories = std::map<QString, Factory>;

const Factories& macFactories()
{
    static const Factories table{
        {QStringLiteral("userFiles"),
         [](const QString& h, const QByteArray&) { return std::make_shared<UserFilesHandler>(h); }},
        {QStringLiteral("applicationData"),
         [](const QString& h, const QByteArray&) { return std::make_shared<ApplicationDataHandler>(h); }},
        {QStringLiteral("systemSettings"),
         [](const QString& h, const QByteArray&) {
             return std::make_shared<SystemSettingsHandler>(h, preferenceDomainsFor(h));
         }},
        {QStringLiteral("browserData"),
         [](const QString& h, const QByteArray&) { return std::make_shared<BrowserDataHandler>(h); }},
    };
    return table;
}

const Factories& linuxFactories()
{
    static const Factories table{
        {QStringLiteral("userFiles"),
         [](const QString& h, const QByteArray&) { return std::make_shared<UserFilesHandler>(h); }},
        {QStringLiteral("applicationData"),
         [](const QString& h, const QByteArray&) { return std::make_shared<LinuxApplicationDataHandler>(h); }},
        {QStringLiteral("systemSettings"),
         [](const QString& h, const QByteArray&) { return std::make_shared<LinuxSettingsHandler>(h); }},
        // The browsers' Safe Storage secrets travel sealed under the session key.
        {QStringLiteral("browserData"),
         [](const QString& h, const QByteArray& key) { return std::make_shared<LinuxBrowserDataHandler>(h, key); }},
    };
    return table;
}

} // namespace

std::shared_ptr<CategoryTransferHandler> makeCategoryHandler(const QString& categoryID, const QString& homeFolder,
                                                             HomeLayoutKind layout, const QByteArray& sessionKey)
{
    // The keychain export goes through the Secret Service in both layouts.
    if (categoryID == QLatin1String("keychain"))
        return sessionKey.size() == keychain::kKeyBytes ? std::make_shared<KeychainHandler>(homeFolder, sessionKey, layout)
                                                        : nullptr;
    const Factories& factories = layout == HomeLayoutKind::Linux ? linuxFactories() : macFactories();
    const auto it = factories.find(categoryID);
    return it == factories.end() ? nullptr : it->second(homeFolder, sessionKey);
}

} // namespace kivo
