#include "TestCertificates.h"

#include <openssl/ec.h>
#include <openssl/x509v3.h>

#include <atomic>

namespace tarn
{
namespace
{
constexpr long kDay = 24 * 60 * 60;

bool AddExtension(X509* pCert, X509* pIssuer, int nNid, const char* pszValue)
{
    X509V3_CTX Ctx;
    X509V3_set_ctx_nodb(&Ctx);
    X509V3_set_ctx(&Ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &Ctx, nNid, pszValue);
    if (pExt == nullptr)
        return false;
    const bool bAdded = X509_add_ext(pCert, pExt, -1) == 1;
    X509_EXTENSION_free(pExt);
    return bAdded;
}

// Wine's crypt32 takes an ECDSA signature whose r or s is shorter than the curve's 32 bytes for a
// bad one, and the certificate then reads as issued by an unknown CA (about one in 128). ECDSA
// draws a new pair at each signing, so the certificate is signed again until both are whole.
bool SignWithWholeValues(X509* pCert, EVP_PKEY* pKey)
{
    for (int nTry = 0; nTry < 100; ++nTry)
    {
        if (X509_sign(pCert, pKey, EVP_sha256()) == 0)
            return false;
        const ASN1_BIT_STRING* pSignature = nullptr;
        X509_get0_signature(&pSignature, nullptr, pCert);
        const unsigned char* pDer = ASN1_STRING_get0_data(pSignature);
        ECDSA_SIG* pValues = d2i_ECDSA_SIG(nullptr, &pDer, ASN1_STRING_length(pSignature));
        if (pValues == nullptr)
            return false;
        const bool bWhole =
            BN_num_bytes(ECDSA_SIG_get0_r(pValues)) == 32 && BN_num_bytes(ECDSA_SIG_get0_s(pValues)) == 32;
        ECDSA_SIG_free(pValues);
        if (bWhole)
            return true;
    }
    return false;
}
} // namespace

CertIdentity MakeCertIdentity(const char* pszName, bool bCa, long nFromDays, long nToDays,
                              const CertIdentity* pIssuer, const char* pszNames)
{
    // Each certificate of an issuer needs a serial of its own.
    static std::atomic<long> s_nSerial{1};
    CertIdentity Made;
    Made.pKey.reset(EVP_EC_gen("P-256"));
    Made.pCert.reset(X509_new());
    X509* pCert = Made.pCert.get();
    if (!Made.pKey || pCert == nullptr)
        return CertIdentity();
    X509* pIssuerCert = pIssuer != nullptr ? pIssuer->pCert.get() : pCert;
    EVP_PKEY* pSigningKey = pIssuer != nullptr ? pIssuer->pKey.get() : Made.pKey.get();
    X509_set_version(pCert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), s_nSerial++);
    X509_gmtime_adj(X509_getm_notBefore(pCert), nFromDays * kDay);
    X509_gmtime_adj(X509_getm_notAfter(pCert), nToDays * kDay);
    X509_set_pubkey(pCert, Made.pKey.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(pCert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(pszName), -1, -1, 0);
    X509_set_issuer_name(pCert, X509_get_subject_name(pIssuerCert));
    const bool bExtended =
        AddExtension(pCert, pIssuerCert, NID_subject_key_identifier, "hash") &&
        AddExtension(pCert, pIssuerCert, NID_authority_key_identifier, "keyid:always") &&
        (bCa ? AddExtension(pCert, pIssuerCert, NID_basic_constraints, "critical,CA:TRUE") &&
                   AddExtension(pCert, pIssuerCert, NID_key_usage, "critical,keyCertSign,cRLSign")
             : AddExtension(pCert, pIssuerCert, NID_basic_constraints, "CA:FALSE") &&
                   AddExtension(pCert, pIssuerCert, NID_ext_key_usage, "serverAuth,clientAuth") &&
                   AddExtension(pCert, pIssuerCert, NID_subject_alt_name, pszNames));
    if (!bExtended || !SignWithWholeValues(pCert, pSigningKey))
        return CertIdentity();
    return Made;
}
} // namespace tarn
