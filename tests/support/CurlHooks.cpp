#include "CurlHooks.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace
{
std::atomic<int> g_nSlowLookupMs{0};
std::atomic<int> g_nPollDelayMs{0};
std::atomic<int> g_nHoldEasyInitMs{0};
std::atomic<bool> g_bInsideEasyInit{false};
std::atomic_flag g_EasyInitLock = ATOMIC_FLAG_INIT;
std::mutex g_Mutex;
std::condition_variable g_Finished;
size_t g_uFinished = 0;

template <typename F> F Next(const char* pszName)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, pszName));
}

bool EndsWith(const std::string& Text, const std::string& Tail)
{
    return Text.size() >= Tail.size() && Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) == 0;
}
} // namespace

namespace curl_hooks
{
void SetSlowLookupMs(int nMs)
{
    g_nSlowLookupMs = nMs;
}

void SetPollDelayMs(int nMs)
{
    g_nPollDelayMs = nMs;
}

size_t FinishedTransfers()
{
    std::lock_guard<std::mutex> Lock(g_Mutex);
    return g_uFinished;
}

bool WaitForFinishedTransfers(size_t uCount, int nTimeoutMs)
{
    std::unique_lock<std::mutex> Lock(g_Mutex);
    return g_Finished.wait_for(Lock, std::chrono::milliseconds(nTimeoutMs),
                               [uCount] { return g_uFinished >= uCount; });
}

void HoldNextEasyInitMs(int nMs)
{
    g_nHoldEasyInitMs = nMs;
}

bool WaitInsideEasyInit(int nTimeoutMs)
{
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!g_bInsideEasyInit && std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return g_bInsideEasyInit;
}
} // namespace curl_hooks

extern "C" int getaddrinfo(const char* pszNode, const char* pszService, const struct addrinfo* pHints,
                           struct addrinfo** ppResult)
{
    using Fn = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Fn pfnNext = Next<Fn>("getaddrinfo");
    if (pszNode != nullptr && EndsWith(pszNode, ".slow.test"))
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(g_nSlowLookupMs.load()));
        pszNode = "127.0.0.1";
    }
    return pfnNext(pszNode, pszService, pHints, ppResult);
}

extern "C" CURLMcode curl_multi_poll(CURLM* pMulti, struct curl_waitfd aExtra[], unsigned int uExtra,
                                     int nTimeoutMs, int* pnReady)
{
    using Fn = CURLMcode (*)(CURLM*, struct curl_waitfd[], unsigned int, int, int*);
    static const Fn pfnNext = Next<Fn>("curl_multi_poll");
    const CURLMcode eCode = pfnNext(pMulti, aExtra, uExtra, nTimeoutMs, pnReady);
    if (const int nDelayMs = g_nPollDelayMs.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
    return eCode;
}

extern "C" CURLMsg* curl_multi_info_read(CURLM* pMulti, int* pnQueued)
{
    using Fn = CURLMsg* (*)(CURLM*, int*);
    static const Fn pfnNext = Next<Fn>("curl_multi_info_read");
    CURLMsg* const pMessage = pfnNext(pMulti, pnQueued);
    if (pMessage != nullptr && pMessage->msg == CURLMSG_DONE)
    {
        {
            std::lock_guard<std::mutex> Lock(g_Mutex);
            ++g_uFinished;
        }
        g_Finished.notify_all();
    }
    return pMessage;
}

extern "C" CURL* curl_easy_init()
{
    using Fn = CURL* (*)();
    static const Fn pfnNext = Next<Fn>("curl_easy_init");
    while (g_EasyInitLock.test_and_set(std::memory_order_acquire)) // spins, as libcurl's own lock
    {
    }
    const int nHoldMs = g_nHoldEasyInitMs.exchange(0);
    CURL* const pEasy = pfnNext();
    if (nHoldMs > 0)
    {
        g_bInsideEasyInit = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(nHoldMs));
        g_bInsideEasyInit = false;
    }
    g_EasyInitLock.clear(std::memory_order_release);
    return pEasy;
}
