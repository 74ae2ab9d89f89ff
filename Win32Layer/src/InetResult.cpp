#include "InetResult.h"

#include "InetClientCert.h"

namespace tarn
{
namespace inet
{
namespace
{
// OpenSSL's certificate verification results (X509_V_ERR_*), as CURLINFO_SSL_VERIFYRESULT gives them.
constexpr long kVerifyOk = 0;
constexpr long kUnspecified = 1;
constexpr long kUnableToGetIssuerCert = 2;
constexpr long kCertNotYetValid = 9;
constexpr long kCertHasExpired = 10;
constexpr long kErrorInNotBefore = 13;
constexpr long kErrorInNotAfter = 14;
constexpr long kDepthZeroSelfSigned = 18;
constexpr long kSelfSignedInChain = 19;
constexpr long kUnableToGetIssuerLocally = 20;
constexpr long kUnableToVerifyLeaf = 21;
constexpr long kCertRevoked = 23;
constexpr long kInvalidCa = 24;
constexpr long kCertUntrusted = 27;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;

struct ResultPair
{
    CURLcode eResult;
    DWORD dwError;
};

// The results whose error depends on nothing else.
constexpr ResultPair kFixedResults[] = {
    {CURLE_OK, ERROR_SUCCESS},
    {CURLE_URL_MALFORMAT, ERROR_INTERNET_INVALID_URL},
    {CURLE_COULDNT_RESOLVE_PROXY, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_RESOLVE_HOST, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_CONNECT, ERROR_INTERNET_CANNOT_CONNECT},
    {CURLE_WEIRD_SERVER_REPLY, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_BAD_CONTENT_ENCODING, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_HTTP2, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_HTTP2_STREAM, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_HTTP_RETURNED_ERROR, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {CURLE_GOT_NOTHING, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_PARTIAL_FILE, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_RECV_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_SEND_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
    {CURLE_TOO_MANY_REDIRECTS, ERROR_HTTP_REDIRECT_FAILED},
    {CURLE_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {CURLE_ABORTED_BY_CALLBACK, ERROR_INTERNET_OPERATION_CANCELLED},
    // TLS that could not be set up.
    {CURLE_SSL_CONNECT_ERROR, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_ENGINE_NOTFOUND, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_ENGINE_SETFAILED, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_CERTPROBLEM, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_CIPHER, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_ENGINE_INITFAILED, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_CACERT_BADFILE, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_SHUTDOWN_FAILED, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_CRL_BADFILE, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_ISSUER_ERROR, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {CURLE_SSL_INVALIDCERTSTATUS, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
};

// Why OpenSSL refused the peer's certificate, as WinINet tells it.
DWORD MapVerifyResult(long lVerify)
{
    switch (lVerify)
    {
    case kVerifyOk:    // libcurl's own check of the name failed
    case kUnspecified: // the same, as libcurl 7.88 with OpenSSL 3 reports it
    case kHostnameMismatch:
    case kIpAddressMismatch:
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case kCertNotYetValid:
    case kCertHasExpired:
    case kErrorInNotBefore:
    case kErrorInNotAfter:
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case kUnableToGetIssuerCert:
    case kDepthZeroSelfSigned:
    case kSelfSignedInChain:
    case kUnableToGetIssuerLocally:
    case kUnableToVerifyLeaf:
    case kInvalidCa:
    case kCertUntrusted:
        return ERROR_INTERNET_INVALID_CA;
    case kCertRevoked:
        return ERROR_INTERNET_SEC_CERT_REVOKED;
    default:
        return ERROR_INTERNET_SEC_CERT_ERRORS;
    }
}
} // namespace

DWORD MapCurlResult(CURLcode eResult, bool bConnected, CURL* pEasy)
{
    // A server that asked for a certificate and then ended the exchange refused to go on without one.
    const bool bCertAsked = pEasy != nullptr && TakeClientCertRequest(pEasy);
    if (bCertAsked &&
        (eResult == CURLE_SSL_CONNECT_ERROR || eResult == CURLE_SEND_ERROR || eResult == CURLE_RECV_ERROR ||
         eResult == CURLE_GOT_NOTHING || eResult == CURLE_SSL_CLIENTCERT))
        return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    switch (eResult)
    {
    case CURLE_UNSUPPORTED_PROTOCOL:
        // After connecting this is libcurl refusing a reply that has no HTTP head.
        return bConnected ? ERROR_HTTP_INVALID_SERVER_RESPONSE : ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_OPERATION_TIMEDOUT:
        return bConnected ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_PEER_FAILED_VERIFICATION:
    {
        long lVerify = kVerifyOk;
        if (pEasy != nullptr)
            curl_easy_getinfo(pEasy, CURLINFO_SSL_VERIFYRESULT, &lVerify);
        return MapVerifyResult(lVerify);
    }
    default:
        for (const ResultPair& Pair : kFixedResults)
            if (Pair.eResult == eResult)
                return Pair.dwError;
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}
} // namespace inet
} // namespace tarn
