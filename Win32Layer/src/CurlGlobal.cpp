#include "CurlGlobal.h"

#include "ThreadSafety.h"

#include <pthread.h>

namespace tarn
{
namespace inet
{
namespace
{
// Constant-initialised: usable from the first call on any thread. Taken alone: callers hold no
// lock of the loop (InetTransfer::Start makes its handle before it takes g_NetworkMutex).
Mutex g_CurlGlobalMutex;

enum class InitState
{
    NotTried,
    Ready,
    Failed
};
InitState g_eInit TARN_GUARDED_BY(g_CurlGlobalMutex) = InitState::NotTried;

void LockBeforeFork() TARN_ACQUIRE(g_CurlGlobalMutex)
{
    g_CurlGlobalMutex.Lock();
}

void UnlockAfterFork() TARN_RELEASE(g_CurlGlobalMutex)
{
    g_CurlGlobalMutex.Unlock();
}

// Registered as the module loads, before any thread can use libcurl through it; glibc forgets
// these handlers when the module is unloaded.
const struct ForkGuard
{
    ForkGuard() { pthread_atfork(&LockBeforeFork, &UnlockAfterFork, &UnlockAfterFork); }
} g_ForkGuard;
} // namespace

bool InitCurl()
{
    MutexLock Held(g_CurlGlobalMutex);
    if (g_eInit == InitState::NotTried)
        g_eInit = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK ? InitState::Ready : InitState::Failed;
    return g_eInit == InitState::Ready;
}

CURL* NewEasyHandle()
{
    MutexLock Held(g_CurlGlobalMutex);
    return curl_easy_init();
}
} // namespace inet
} // namespace tarn
