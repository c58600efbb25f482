// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

namespace kivo::test {

// A throwaway self-signed P-256 identity for tests that need TLS but do not
// test the product's own certificate code.
struct TestIdentity {
    QSslKey key;
    QSslCertificate certificate;
};

TestIdentity makeTestIdentity(const QString& commonName = QStringLiteral("kivo-test"));

// Both ends present a certificate and skip chain validation (peers are self-signed).
QSslConfiguration testTlsConfiguration(const TestIdentity& identity);

} // namespace kivo::test
