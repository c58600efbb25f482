// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kivo {

// Which application a received preference file belongs to.
class AppPrefMapper {
public:
    struct Classification {
        QString bundleKey;
        QString displayName;
        QStringList triggers;
        bool operator==(const Classification&) const = default;
    };

    // `path` is home-relative with a leading "~/".
    static Classification classify(const QString& path);
    static bool isReverseDNS(const QString& text);
};

} // namespace kivo
