// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

// A self-signed P-256 identity that lives only in this process: the benchmark
// peers need TLS, not trust.
struct ThrowawayIdentity {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), &EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> cert{X509_new(), &X509_free};

    ThrowawayIdentity()
    {
        X509* c = cert.get();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
        X509_gmtime_adj(X509_getm_notBefore(c), 0);
        X509_gmtime_adj(X509_getm_notAfter(c), 86400);
        X509_set_pubkey(c, key.get());
        X509_NAME* name = X509_get_subject_name(c);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("kivo-peer"), -1, -1, 0);
        X509_set_issuer_name(c, name);
        X509_sign(c, key.get(), EVP_sha256());
    }
};
