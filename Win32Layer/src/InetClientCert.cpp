#include "InetClientCert.h"

#include "ThreadSafety.h"

#include <openssl/ssl.h>

#include <pthread.h>

#include <cstring>
#include <new>
#include <set>

namespace tarn
{
namespace inet
{
namespace
{
// Held only for a set operation: the network thread marks, callers' threads forget.
Mutex g_AskedMutex;
std::set<CURL*> g_Asked TARN_GUARDED_BY(g_AskedMutex); // handles whose server asked for a certificate

// A child of fork() may inherit the mutex held, and the set halfway through a change, by a thread it
// does not have. It starts both afresh; what they held named only the parent's handles. (Not held
// across the fork instead: the network thread takes the mutex inside libcurl while holding the fork
// gate, and a fork that took it first would wait for the gate for good.)
void StartAfreshInChild() TARN_NO_THREAD_SAFETY_ANALYSIS
{
    new (&g_AskedMutex) Mutex;
    new (&g_Asked) std::set<CURL*>;
}

const struct ChildGuard
{
    ChildGuard() { pthread_atfork(nullptr, nullptr, &StartAfreshInChild); }
} g_ChildGuard;

// Where the handle is found from a context OpenSSL hands the callback.
int ContextIndex()
{
    static const int s_nIndex = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return s_nIndex;
}

// OpenSSL asks for a certificate the handle does not have: remember the request, send none.
int OnCertificateRequested(SSL* pSsl, X509** /*ppCert*/, EVP_PKEY** /*ppKey*/)
{
    CURL* pEasy = static_cast<CURL*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(pSsl), ContextIndex()));
    if (pEasy != nullptr)
    {
        MutexLock Held(g_AskedMutex);
        g_Asked.insert(pEasy);
    }
    return 0;
}

CURLcode OnContext(CURL* pEasy, void* pvContext, void* /*pvUser*/)
{
    SSL_CTX* pContext = static_cast<SSL_CTX*>(pvContext);
    if (ContextIndex() >= 0 && SSL_CTX_set_ex_data(pContext, ContextIndex(), pEasy) == 1)
        SSL_CTX_set_client_cert_cb(pContext, &OnCertificateRequested);
    return CURLE_OK;
}

bool RunsOnOpenSsl()
{
    static const bool s_bOpenSsl = []
    {
        const curl_version_info_data* pInfo = curl_version_info(CURLVERSION_NOW);
        return pInfo != nullptr && pInfo->ssl_version != nullptr &&
               std::strncmp(pInfo->ssl_version, "OpenSSL/", 8) == 0;
    }();
    return s_bOpenSsl;
}
} // namespace

void WatchClientCertRequest(CURL* pEasy)
{
    {
        MutexLock Held(g_AskedMutex);
        g_Asked.erase(pEasy);
    }
    if (RunsOnOpenSsl())
        curl_easy_setopt(pEasy, CURLOPT_SSL_CTX_FUNCTION, &OnContext);
}

bool TakeClientCertRequest(CURL* pEasy)
{
    MutexLock Held(g_AskedMutex);
    return g_Asked.erase(pEasy) != 0;
}
} // namespace inet
} // namespace tarn
