#pragma once

// One HTTP exchange on libcurl at a time, seen from the request handle's thread. The exchange runs
// on the network thread (InetLoop.h); the calls here ask the loop for what they need and wait for
// the exchange's state (InetExchange.h) to get there, each on its own clock.
//
// Nothing is staged whole. Upload bytes go from the caller's InternetWriteFile buffer straight
// into libcurl's upload buffer through the read callback, which pauses the upload whenever the
// caller has nothing to give. Response bytes go from the write callback straight into the
// caller's InternetReadFile buffer while one waits; otherwise they gather in a window of at most
// kWindowLimit bytes (plus one callback's worth), and further data pauses the receiving side
// until the caller reads again. The window lets small reads follow each other without waiting
// for the network thread. A waiting caller is woken only when its buffer is full or the exchange
// has ended, not for every piece: the exchange notes when bytes last moved, and a wait reads its
// idle clock from that.
#include "InetEasySetup.h"
#include "InetExchange.h"
#include "InetLoop.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>

namespace tarn
{
namespace inet
{
class InetTransfer : private LoopClient
{
public:
    InetTransfer();
    ~InetTransfer();
    InetTransfer(const InetTransfer&) = delete;
    InetTransfer& operator=(const InetTransfer&) = delete;

    // Sets aside the receive window. ERROR_SUCCESS or an error code.
    DWORD Init();
    // Makes a wait in another thread return ERROR_INTERNET_OPERATION_CANCELLED as soon as it can.
    void Cancel();

    // Ends any exchange under way and starts a new one.
    DWORD Start(const ExchangeRequest& Request);
    // Ends the exchange; one that had not finished counts as cancelled.
    void Stop();

    // Each returns ERROR_SUCCESS or an error code. Its clock starts with the call: it waits at most
    // dwIdleLimitMs without progress and, until the connection stands (a kept one, or a new one
    // when one to the server is free), at most the connect time-out as well.
    // Until the request head is on its way: libcurl asks for body bytes, or, with no body, the
    // connection stands; or the server has already answered.
    DWORD AwaitRequestSent(std::uint64_t uBodyLength, DWORD dwIdleLimitMs);
    // Until the final head or a redirect to follow has arrived.
    DWORD AwaitAnswer(DWORD dwIdleLimitMs);
    // Hands the caller's bytes to libcurl; returns early when the server has answered.
    DWORD Upload(const void* pData, size_t uLength, DWORD dwIdleLimitMs);
    // Fills the caller's buffer with up to uMax body bytes; uDone tells how many came.
    DWORD Receive(unsigned char* pOut, size_t uMax, DWORD dwIdleLimitMs, size_t& uDone);

    // The error that ended the exchange, once every byte before it has been read; else ERROR_SUCCESS.
    DWORD FinalError() const;
    bool HeadDone() const;
    bool RedirectPending() const;
    bool Answered() const;
    // The final head, once HeadDone(); it no longer changes then.
    const ResponseHead& Head() const TARN_NO_THREAD_SAFETY_ANALYSIS { return m_State.Head(); }
    // The redirect's status and Location, while RedirectPending(); they no longer change then.
    DWORD RedirectStatus() const TARN_NO_THREAD_SAFETY_ANALYSIS { return m_State.RedirectStatus(); }
    const std::string& Location() const TARN_NO_THREAD_SAFETY_ANALYSIS { return m_State.Location(); }

private:
    enum class Goal
    {
        RequestSent,
        Answer,
        UploadTaken,
        TargetFull
    };

    DWORD WaitFor(MutexLock& Held, Goal eGoal, DWORD dwIdleLimitMs, std::uint64_t uBodyLength = 0)
        TARN_REQUIRES(g_NetworkMutex);
    bool Reached(Goal eGoal, std::uint64_t uBodyLength) const TARN_REQUIRES(g_NetworkMutex);
    // From a callback: wakes the owner when it waits for a goal that is now reached. Progress alone
    // wakes nobody; an end wakes it from OnFinished.
    void WakeIfReached() TARN_REQUIRES(g_NetworkMutex);
    void OnFinished(CURLcode eResult) override TARN_REQUIRES(g_NetworkMutex);
    int PausedBits() const override TARN_REQUIRES(g_NetworkMutex) { return m_State.PausedBits(); }
    void ResumeReceiving() TARN_REQUIRES(g_NetworkMutex);
    void ResumeSending() TARN_REQUIRES(g_NetworkMutex);
    void SetCallbacks();

    static size_t OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser);
    static int OnUploadSeek(void* pUser, curl_off_t llOffset, int nOrigin);
    static int OnConnected(void* pUser, char*, char*, int, int);

    InetLoop& m_Loop;
    LoopJob m_Job; // its easy handle exists only while an exchange does
    std::atomic<bool> m_bCancelled{false};
    curl_slist* m_pCurlHeaders = nullptr;
    DWORD m_dwConnectMs = kDefaultTimeoutMs;
    ExchangeState m_State;
    // What the owner waits for, while it waits.
    bool m_bAwaiting TARN_GUARDED_BY(g_NetworkMutex) = false;
    Goal m_eAwaited TARN_GUARDED_BY(g_NetworkMutex) = Goal::Answer;
    std::uint64_t m_uAwaitedBodyLength TARN_GUARDED_BY(g_NetworkMutex) = 0;
};
} // namespace inet
} // namespace tarn
