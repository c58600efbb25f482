// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QLoggingCategory>

// One category per component, named "com.kivo.app.<Component>".
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcTransferEngine)
Q_DECLARE_LOGGING_CATEGORY(lcTransferSession)
Q_DECLARE_LOGGING_CATEGORY(lcConnectionManager)
Q_DECLARE_LOGGING_CATEGORY(lcBonjourBrowser)
Q_DECLARE_LOGGING_CATEGORY(lcBonjourAdvertiser)
Q_DECLARE_LOGGING_CATEGORY(lcPairing)
Q_DECLARE_LOGGING_CATEGORY(lcCertificate)
Q_DECLARE_LOGGING_CATEGORY(lcThunderbolt)
Q_DECLARE_LOGGING_CATEGORY(lcCategories)
Q_DECLARE_LOGGING_CATEGORY(lcPreFlightScanner)
Q_DECLARE_LOGGING_CATEGORY(lcPreflight)
Q_DECLARE_LOGGING_CATEGORY(lcAppCompat)
Q_DECLARE_LOGGING_CATEGORY(lcUserMapper)
Q_DECLARE_LOGGING_CATEGORY(lcPermissions)
Q_DECLARE_LOGGING_CATEGORY(lcHelperInstaller)
Q_DECLARE_LOGGING_CATEGORY(lcPrefStager)
Q_DECLARE_LOGGING_CATEGORY(lcStagedPrefService)
Q_DECLARE_LOGGING_CATEGORY(lcAppInstallWatcher)
Q_DECLARE_LOGGING_CATEGORY(lcHomebrewWatcher)
Q_DECLARE_LOGGING_CATEGORY(lcEngTools)
Q_DECLARE_LOGGING_CATEGORY(lcMDMSafety)
Q_DECLARE_LOGGING_CATEGORY(lcManagedModeCoordinator)
Q_DECLARE_LOGGING_CATEGORY(lcTelemetry)

namespace kivo {
// Log lines go to stderr as "<category>: <message>". `quiet` keeps only
// critical lines (front ends that print their own messages); KIVO_LOG_RULES
// ("rule;rule", Qt filter syntax) overrides either default.
void installLogging(bool quiet = false);
}
