// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/SigV4.h"
#include "vault/VaultCredentials.h"

#include <QDateTime>
#include <QUrl>

#include <chrono>
#include <optional>

// Keys for a role, from the store's token service (AssumeRole).
namespace kivo::sts {

struct RoleRequest {
    QUrl endpoint;  // the token service
    QString region; // signed for; us-east-1 when empty
    QString roleARN;
    QString sessionName;
    int durationSeconds = 3600;
};

// The signed request: method, path, headers and form body, as sent.
sigv4::Request signedRequest(const RoleRequest& request, const AwsKeys& keys, const QDateTime& now);

struct RoleAnswer {
    std::optional<AwsKeys> keys;
    QDateTime expires;
    QString errorCode; // the service's, when it refused
    QString errorMessage;
};
// The service's XML answer; keys only when all three are there and look like keys.
RoleAnswer parseAnswer(const QByteArray& xml);

// The token service for a store: the store's own endpoint when it has one, else AWS's.
QUrl serviceFor(const QString& storeEndpoint, const QString& region);

// Asks for keys for the role, signed with `keys`. Longer sessions are asked for
// first, as a snapshot may take hours. Throws VaultError: unreachable when the
// service does not answer in `deadline`, missingKey when it refuses.
AwsKeys assumeRole(RoleRequest request, const AwsKeys& keys, std::chrono::milliseconds deadline = std::chrono::seconds(30));

} // namespace kivo::sts
