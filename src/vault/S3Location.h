// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo {

// A vault in an S3 bucket: one repository below bucket/prefix.
struct S3Location {
    bool https = true;
    QString host;
    int port = -1; // -1: the scheme's own
    QString bucket;
    QString prefix; // no leading or trailing slash; may be empty
    QString region; // empty: the store's default

    // "https://host[:port]", what requests go to.
    QString endpoint() const;
    // The engine's name for the repository: "s3:https://host[:port]/bucket[/prefix]".
    QString repository() const;
    bool operator==(const S3Location&) const = default;
};

// Whether the host name is this machine's loopback: the only place plain http may go.
bool isLoopbackHost(const QString& host);

// "s3:https://HOST[:PORT]/BUCKET[/PREFIX]"; http only for a loopback host. No user
// name, password, query or fragment: keys never travel in a location. Nothing,
// and the reason in `error`, for anything else.
std::optional<S3Location> parseS3Location(const QString& text, QString* error);

// The profile's bucket below `endpoint` ("https://HOST[:PORT]"; empty: the
// region's AWS endpoint). Nothing, and the reason, when the keys do not make one.
std::optional<S3Location> s3LocationFrom(const QString& endpoint, const QString& bucket, const QString& prefix,
                                         const QString& region, QString* error);

} // namespace kivo
