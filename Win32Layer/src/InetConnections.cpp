#include "InetConnections.h"

#include <mutex>

namespace tarn
{
namespace inet
{
namespace
{
// One lock per kind of shared data; libcurl names the kind in each call.
class ShareLocks
{
public:
    std::mutex& For(curl_lock_data eData)
    {
        const int nIndex = static_cast<int>(eData);
        return m_Locks[nIndex >= 0 && nIndex < CURL_LOCK_DATA_LAST ? nIndex : 0];
    }

private:
    std::mutex m_Locks[CURL_LOCK_DATA_LAST];
};

void LockShare(CURL*, curl_lock_data eData, curl_lock_access, void* pvLocks)
{
    static_cast<ShareLocks*>(pvLocks)->For(eData).lock();
}

void UnlockShare(CURL*, curl_lock_data eData, void* pvLocks)
{
    static_cast<ShareLocks*>(pvLocks)->For(eData).unlock();
}

CURLSH* CreateShare()
{
    static ShareLocks s_Locks; // outlives every exchange: never destroyed before exit
    CURLSH* pShare = curl_share_init();
    if (pShare == nullptr)
        return nullptr;
    const bool bOk = curl_share_setopt(pShare, CURLSHOPT_LOCKFUNC, &LockShare) == CURLSHE_OK &&
                     curl_share_setopt(pShare, CURLSHOPT_UNLOCKFUNC, &UnlockShare) == CURLSHE_OK &&
                     curl_share_setopt(pShare, CURLSHOPT_USERDATA, &s_Locks) == CURLSHE_OK &&
                     curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
                     curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
                     curl_share_setopt(pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!bOk)
    {
        curl_share_cleanup(pShare);
        return nullptr;
    }
    return pShare;
}
} // namespace

void UseConnectionCache(CURL* pEasy)
{
    // Made once, never cleaned up: exchanges on other threads may use it until the process ends.
    static CURLSH* const s_pShare = CreateShare();
    if (s_pShare == nullptr)
        return;
    curl_easy_setopt(pEasy, CURLOPT_SHARE, s_pShare);
    curl_easy_setopt(pEasy, CURLOPT_MAXAGE_CONN, kIdleConnectionSeconds);
}
} // namespace inet
} // namespace tarn
