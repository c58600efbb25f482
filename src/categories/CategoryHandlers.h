// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"
#include "transfer/CategoryTransferHandler.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace kivo {

// The handler of a category for a home folder of a layout: "userFiles",
// "applicationData", "systemSettings", "browserData", and "keychain" only with
// the paired connection's 256-bit key. Null for any other id.
std::shared_ptr<CategoryTransferHandler> makeCategoryHandler(const QString& categoryID, const QString& homeFolder,
                                                             HomeLayoutKind layout, const QByteArray& sessionKey = {});

} // namespace kivo
