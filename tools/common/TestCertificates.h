#pragma once

// Certificates made at run time for the local TLS servers of the tests and the benchmarks, so that
// no key or certificate is kept in the repository.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace tarn
{
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

// A key and its certificate; both null when they could not be made.
struct CertIdentity
{
    KeyPtr pKey{nullptr, &EVP_PKEY_free};
    CertPtr pCert{nullptr, &X509_free};
};

// A P-256 key and a certificate with the common name pszName, valid from nFromDays to nToDays
// around now and signed by pIssuer (by itself when null). A CA's may sign others; any other is for
// a server (or a client) under the subject alternative names pszNames ("DNS:localhost",
// "IP:127.0.0.1,DNS:localhost").
CertIdentity MakeCertIdentity(const char* pszName, bool bCa, long nFromDays, long nToDays,
                              const CertIdentity* pIssuer, const char* pszNames = "");
} // namespace tarn
