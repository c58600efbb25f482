// SPDX-License-Identifier: Apache-2.0
#include "platform/Logging.h"

Q_LOGGING_CATEGORY(lcApp, "com.kivo.app.App")
Q_LOGGING_CATEGORY(lcTransferEngine, "com.kivo.app.TransferEngine")
Q_LOGGING_CATEGORY(lcTransferSession, "com.kivo.app.TransferSession")
Q_LOGGING_CATEGORY(lcConnectionManager, "com.kivo.app.ConnectionManager")
Q_LOGGING_CATEGORY(lcBonjourBrowser, "com.kivo.app.BonjourBrowser")
Q_LOGGING_CATEGORY(lcBonjourAdvertiser, "com.kivo.app.BonjourAdvertiser")
Q_LOGGING_CATEGORY(lcPairing, "com.kivo.app.Pairing")
Q_LOGGING_CATEGORY(lcCertificate, "com.kivo.app.Certificate")
Q_LOGGING_CATEGORY(lcThunderbolt, "com.kivo.app.Thunderbolt")
Q_LOGGING_CATEGORY(lcCategories, "com.kivo.app.Categories")
Q_LOGGING_CATEGORY(lcPreFlightScanner, "com.kivo.app.PreFlightScanner")
Q_LOGGING_CATEGORY(lcPreflight, "com.kivo.app.Preflight")
Q_LOGGING_CATEGORY(lcAppCompat, "com.kivo.app.AppCompat")
Q_LOGGING_CATEGORY(lcUserMapper, "com.kivo.app.UserMapper")
Q_LOGGING_CATEGORY(lcPermissions, "com.kivo.app.Permissions")
Q_LOGGING_CATEGORY(lcHelperInstaller, "com.kivo.app.HelperInstaller")
Q_LOGGING_CATEGORY(lcPrefStager, "com.kivo.app.PrefStager")
Q_LOGGING_CATEGORY(lcStagedPrefService, "com.kivo.app.StagedPrefService")
Q_LOGGING_CATEGORY(lcAppInstallWatcher, "com.kivo.app.AppInstallWatcher")
Q_LOGGING_CATEGORY(lcHomebrewWatcher, "com.kivo.app.HomebrewWatcher")
Q_LOGGING_CATEGORY(lcEngTools, "com.kivo.app.EngTools")
Q_LOGGING_CATEGORY(lcMDMSafety, "com.kivo.app.MDMSafety")
Q_LOGGING_CATEGORY(lcManagedModeCoordinator, "com.kivo.app.ManagedModeCoordinator")
Q_LOGGING_CATEGORY(lcTelemetry, "com.kivo.app.Telemetry")

namespace kivo {

void installLogging(bool quiet)
{
    qSetMessagePattern(QStringLiteral("%{time hh:mm:ss.zzz} %{if-warning}W %{endif}%{if-critical}E %{endif}%{category}: %{message}"));
    const QByteArray rules = qgetenv("KIVO_LOG_RULES");
    if (!rules.isEmpty())
        QLoggingCategory::setFilterRules(QString::fromUtf8(rules).replace(u';', u'\n'));
    else if (quiet)
        QLoggingCategory::setFilterRules(QStringLiteral("com.kivo.app.*.debug=false\ncom.kivo.app.*.info=false\n"
                                                        "com.kivo.app.*.warning=false\nqt.*.warning=false"));
    else
        QLoggingCategory::setFilterRules(QStringLiteral("com.kivo.app.*.debug=false"));
}

} // namespace kivo
