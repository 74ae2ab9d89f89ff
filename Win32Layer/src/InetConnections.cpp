#include "InetConnections.h"

#include <pthread.h>

namespace tarn
{
namespace inet
{
namespace
{
// The thread's share, closed with its connections when the thread ends. A key rather than a
// thread_local: the library may be loaded with dlopen, where a thread_local would be allocated
// on first use and glibc ends the process when that fails.
class ThreadShares
{
public:
    ThreadShares() : m_bKey(pthread_key_create(&m_Key, &Close) == 0) {}

    CURLSH* ForThisThread()
    {
        if (!m_bKey)
            return nullptr;
        CURLSH* pShare = static_cast<CURLSH*>(pthread_getspecific(m_Key));
        if (pShare == nullptr)
        {
            pShare = Create();
            if (pShare != nullptr && pthread_setspecific(m_Key, pShare) != 0)
            {
                curl_share_cleanup(pShare);
                pShare = nullptr;
            }
        }
        return pShare;
    }

private:
    static CURLSH* Create()
    {
        CURLSH* pShare = curl_share_init();
        if (pShare == nullptr)
            return nullptr;
        if (curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK ||
            curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
            curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)
        {
            curl_share_cleanup(pShare);
            return nullptr;
        }
        return pShare;
    }

    static void Close(void* pvShare) { curl_share_cleanup(static_cast<CURLSH*>(pvShare)); }

    pthread_key_t m_Key{};
    bool m_bKey;
};
} // namespace

void UseConnectionCache(CURL* pEasy)
{
    static ThreadShares s_Shares; // never deleted: the key must outlive every thread
    CURLSH* pShare = s_Shares.ForThisThread();
    if (pShare == nullptr)
        return;
    curl_easy_setopt(pEasy, CURLOPT_SHARE, pShare);
    curl_easy_setopt(pEasy, CURLOPT_MAXAGE_CONN, kIdleConnectionSeconds);
}
} // namespace inet
} // namespace tarn
