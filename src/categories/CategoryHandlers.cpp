#include "categories/CategoryHandlers.h"

#include "categories/ApplicationDataHandler.h"
#include "categories/BrowserDataHandler.h"
#include "categories/KeychainExport.h"
#include "categories/KeychainHandler.h"
#include "categories/LinuxBrowserDataHandler.h"
#include "categories/LinuxSettingsHandler.h"
#include "categories/SystemSettingsHandler.h"
#include "categories/UserFilesHandler.h"

namespace kivo {

std::shared_ptr<CategoryTransferHandler> makeCategoryHandler(const QString& categoryID, const QString& homeFolder,
                                                             const QByteArray& sessionKey)
{
    if (categoryID == QLatin1String("userFiles"))
        return std::make_shared<UserFilesHandler>(homeFolder);
    if (categoryID == QLatin1String("applicationData"))
        return std::make_shared<ApplicationDataHandler>(homeFolder);
    if (categoryID == QLatin1String("systemSettings"))
        return std::make_shared<SystemSettingsHandler>(homeFolder, preferenceDomainsFor(homeFolder));
    if (categoryID == QLatin1String("browserData"))
        return std::make_shared<BrowserDataHandler>(homeFolder);
    if (categoryID == QLatin1String("keychain") && sessionKey.size() == keychain::kKeyBytes)
        return std::make_shared<KeychainHandler>(homeFolder, sessionKey);
    return nullptr;
}

std::shared_ptr<CategoryTransferHandler> makeCategoryHandler(const QString& categoryID, const QString& homeFolder,
                                                             HomeLayoutKind layout, const QByteArray& sessionKey)
{
    if (layout == HomeLayoutKind::Linux && categoryID == QLatin1String("systemSettings"))
        return std::make_shared<LinuxSettingsHandler>(homeFolder);
    if (layout == HomeLayoutKind::Linux && categoryID == QLatin1String("browserData"))
        return std::make_shared<LinuxBrowserDataHandler>(homeFolder, sessionKey);
    return makeCategoryHandler(categoryID, homeFolder, sessionKey);
}

} // namespace kivo
