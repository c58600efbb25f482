// SPDX-License-Identifier: Apache-2.0
#include "postmigration/MDMAppManifest.h"

#include "platform/Json.h"

namespace kivo {

std::optional<MDMAppManifest> MDMAppManifest::decoded(const QByteArray& json)
{
    try {
        const QJsonObject root = json::parseObject(json);
        MDMAppManifest manifest;
        for (const QJsonValue& v : json::requireArray(root, "apps")) {
            if (!v.isObject())
                return std::nullopt;
            const QJsonObject o = v.toObject();
            manifest.apps.append({json::requireString(o, "bundleID"), json::optionalString(o, "displayName"),
                                  json::optionalDate(o, "expectedAt")});
        }
        return manifest;
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace kivo
