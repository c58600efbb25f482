// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// The applications an organisation says are on their way to this machine.
struct MDMAppManifest {
    struct IncomingApp {
        QString bundleID;
        std::optional<QString> displayName;
        std::optional<QDateTime> expectedAt;
        bool operator==(const IncomingApp&) const = default;
    };
    QList<IncomingApp> apps;

    // Nothing on any error.
    static std::optional<MDMAppManifest> decoded(const QByteArray& json);
};

} // namespace kivo
