#include "InetTransfer.h"

#include "CurlGlobal.h"
#include "InetResult.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

namespace tarn
{
namespace inet
{
namespace
{
// How many response bytes may wait for a caller that reads in small pieces before the receiving
// side pauses; it resumes once half has been read. Measured with 8191-byte reads of 256 MiB: 1 MiB
// takes 0.15-0.17 s against 0.18-0.20 s for 256 KiB (one pause and resume per 128 KiB), and 4 MiB
// gains nothing more. A caller that asks for more than the window holds is filled directly.
constexpr size_t kWindowLimit = 1024 * 1024;

// One wait's clock. The idle limit counts from the call, and again from each change of progress;
// until the connection stands, the connect limit counts from the call as well, so that a request
// waiting for a connection to its server (libcurl's queue has no clock) still ends in time. The
// exchange keeps the time of its last progress, so a waiter need not be woken for each step.
class WaitClock
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Expiry
    {
        None,
        Connect,
        Idle
    };

    WaitClock(DWORD dwIdleLimitMs, DWORD dwConnectLimitMs, std::uint64_t uProgress)
        : m_dwIdleLimitMs(dwIdleLimitMs), m_dwConnectLimitMs(dwConnectLimitMs), m_uStartProgress(uProgress),
          m_Start(Clock::now())
    {
    }

    // How long to wait next, in milliseconds, once no limit has passed.
    long long NextWaitMs(std::uint64_t uProgress, Clock::time_point LastProgressAt, bool bConnected,
                         Expiry& eExpiry) const
    {
        const Clock::time_point Now = Clock::now();
        const Clock::time_point LastChange =
            uProgress != m_uStartProgress ? std::max(LastProgressAt, m_Start) : m_Start;
        long long llLeftMs = 1000;
        eExpiry = Expiry::None;
        if (!IsUnlimitedTimeout(m_dwIdleLimitMs))
        {
            llLeftMs = std::min(llLeftMs, Remaining(m_dwIdleLimitMs, LastChange, Now));
            if (llLeftMs <= 0)
                eExpiry = Expiry::Idle;
        }
        if (!bConnected && eExpiry == Expiry::None && !IsUnlimitedTimeout(m_dwConnectLimitMs))
        {
            llLeftMs = std::min(llLeftMs, Remaining(m_dwConnectLimitMs, m_Start, Now));
            if (llLeftMs <= 0)
                eExpiry = Expiry::Connect;
        }
        return llLeftMs;
    }

private:
    static long long Remaining(DWORD dwLimitMs, Clock::time_point Since, Clock::time_point Now)
    {
        return static_cast<long long>(dwLimitMs) -
               std::chrono::duration_cast<std::chrono::milliseconds>(Now - Since).count();
    }

    const DWORD m_dwIdleLimitMs;
    const DWORD m_dwConnectLimitMs;
    const std::uint64_t m_uStartProgress;
    const Clock::time_point m_Start;
};
} // namespace

InetTransfer::InetTransfer() : m_Loop(InetLoop::Instance())
{
    m_Job.pClient = this;
}

InetTransfer::~InetTransfer()
{
    Stop();
    if (m_pCurlHeaders != nullptr)
        curl_slist_free_all(m_pCurlHeaders);
}

DWORD InetTransfer::Init()
{
    MutexLock Held(g_NetworkMutex);
    m_State.ReserveWindow(CURL_MAX_WRITE_SIZE);
    return ERROR_SUCCESS;
}

void InetTransfer::Cancel()
{
    MutexLock Held(g_NetworkMutex);
    m_bCancelled = true;
    m_Job.Changed.notify_all();
}

DWORD InetTransfer::Start(const ExchangeRequest& Request)
{
    Stop();
    // The network thread no longer sees this transfer: the handle and its headers are this
    // thread's alone until the loop takes the job.
    if (m_pCurlHeaders != nullptr)
        curl_slist_free_all(m_pCurlHeaders);
    m_pCurlHeaders = ToCurlList(Request.HeaderLines);
    m_Job.pEasy = NewEasyHandle(); // never inside libcurl's init lock across a fork
    m_dwConnectMs = Request.dwConnectMs;
    DWORD dwError = m_Job.pEasy == nullptr || m_pCurlHeaders == nullptr
                        ? ERROR_NOT_ENOUGH_MEMORY
                        : SetUpEasy(m_Job.pEasy, Request, m_pCurlHeaders);
    if (dwError == ERROR_SUCCESS)
        SetCallbacks();
    MutexLock Held(g_NetworkMutex);
    m_State.Reset(Request.pBody, Request.bFollowRedirects);
    if (dwError == ERROR_SUCCESS)
        dwError = m_Loop.Add(Held, m_Job);
    return dwError; // a handle that was not added is freed by the next Stop
}

void InetTransfer::SetCallbacks()
{
    CURL* const pEasy = m_Job.pEasy;
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, &InetTransfer::OnHeaderData);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &InetTransfer::OnBodyData);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_READFUNCTION, &InetTransfer::OnUploadData);
    curl_easy_setopt(pEasy, CURLOPT_READDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_SEEKFUNCTION, &InetTransfer::OnUploadSeek);
    curl_easy_setopt(pEasy, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_PREREQFUNCTION, &InetTransfer::OnConnected);
    curl_easy_setopt(pEasy, CURLOPT_PREREQDATA, this);
}

void InetTransfer::Stop()
{
    MutexLock Held(g_NetworkMutex);
    if (m_Job.pEasy == nullptr)
        return;
    m_Loop.Remove(Held, m_Job);
    // Detached: no other thread sees the handle, so the mutex need not wait on its freeing.
    CURL* const pEasy = m_Job.pEasy;
    m_Job.pEasy = nullptr;
    Held.Unlock();
    curl_easy_cleanup(pEasy);
    Held.Relock();
    m_Loop.AwaitClosedWhenNothingKept(Held);
    m_State.Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    m_State.SetPausedBits(0);
}

DWORD InetTransfer::AwaitRequestSent(std::uint64_t uBodyLength, DWORD dwIdleLimitMs)
{
    MutexLock Held(g_NetworkMutex);
    return WaitFor(Held, Goal::RequestSent, dwIdleLimitMs, uBodyLength);
}

DWORD InetTransfer::AwaitAnswer(DWORD dwIdleLimitMs)
{
    MutexLock Held(g_NetworkMutex);
    return WaitFor(Held, Goal::Answer, dwIdleLimitMs);
}

DWORD InetTransfer::Upload(const void* pData, size_t uLength, DWORD dwIdleLimitMs)
{
    MutexLock Held(g_NetworkMutex);
    try
    {
        m_State.OfferUpload(pData, uLength);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ResumeSending();
    const DWORD dwError = WaitFor(Held, Goal::UploadTaken, dwIdleLimitMs);
    // The caller's buffer is theirs again once this call returns.
    m_State.WithdrawUpload();
    return dwError;
}

DWORD InetTransfer::Receive(unsigned char* pOut, size_t uMax, DWORD dwIdleLimitMs, size_t& uDone)
{
    MutexLock Held(g_NetworkMutex);
    uDone = m_State.TakeReceived(pOut, uMax);
    if (uDone == uMax || m_State.Ended())
    {
        ResumeReceiving();
        return ERROR_SUCCESS;
    }
    m_State.LendTarget(pOut + uDone, uMax - uDone);
    ResumeReceiving();
    const DWORD dwError = WaitFor(Held, Goal::TargetFull, dwIdleLimitMs);
    uDone += m_State.WithdrawTarget();
    return dwError;
}

DWORD InetTransfer::FinalError() const
{
    MutexLock Held(g_NetworkMutex);
    if (m_State.Phase() == ExchangePhase::Failed && m_State.WindowHeld() == 0)
        return m_State.Error();
    return ERROR_SUCCESS;
}

bool InetTransfer::HeadDone() const
{
    MutexLock Held(g_NetworkMutex);
    return m_State.HeadDone();
}

bool InetTransfer::RedirectPending() const
{
    MutexLock Held(g_NetworkMutex);
    return m_State.RedirectPending();
}

bool InetTransfer::Answered() const
{
    MutexLock Held(g_NetworkMutex);
    return m_State.Answered();
}

bool InetTransfer::Reached(Goal eGoal, std::uint64_t uBodyLength) const
{
    switch (eGoal)
    {
    case Goal::RequestSent:
        return m_State.Reached(ExchangePhase::Uploading) ||
               (uBodyLength == 0 && m_State.Reached(ExchangePhase::Sending)) || m_State.Answered();
    case Goal::Answer:
        return m_State.Answered();
    case Goal::UploadTaken:
        return m_State.UploadTaken() || m_State.Answered();
    case Goal::TargetFull:
        return m_State.TargetFull();
    }
    return false;
}

// Waits until the goal is reached, the exchange ends, the handle is closed or a time-out passes.
// libcurl's callbacks wake it.
DWORD InetTransfer::WaitFor(MutexLock& Held, Goal eGoal, DWORD dwIdleLimitMs, std::uint64_t uBodyLength)
{
    WaitClock Clock(dwIdleLimitMs, m_dwConnectMs, m_State.Progress());
    m_bAwaiting = true;
    m_eAwaited = eGoal;
    m_uAwaitedBodyLength = uBodyLength;
    DWORD dwResult = ERROR_SUCCESS;
    for (;;)
    {
        if (m_bCancelled)
        {
            dwResult = ERROR_INTERNET_OPERATION_CANCELLED;
            break;
        }
        if (Reached(eGoal, uBodyLength))
            break;
        if (m_State.Ended())
        {
            dwResult = m_State.Phase() == ExchangePhase::Done ? ERROR_SUCCESS : m_State.Error();
            break;
        }
        WaitClock::Expiry eExpiry = WaitClock::Expiry::None;
        const long long llWaitMs = Clock.NextWaitMs(m_State.Progress(), m_State.LastProgressAt(),
                                                    m_State.Reached(ExchangePhase::Sending), eExpiry);
        if (eExpiry == WaitClock::Expiry::Idle)
        {
            dwResult = ERROR_INTERNET_TIMEOUT;
            break;
        }
        if (eExpiry == WaitClock::Expiry::Connect)
        {
            dwResult = ERROR_INTERNET_CANNOT_CONNECT; // as libcurl's own connect time-out reads
            break;
        }
        m_Job.Changed.wait_for(Held.Native(), std::chrono::milliseconds(std::max<long long>(llWaitMs, 1)));
    }
    m_bAwaiting = false;
    return dwResult;
}

void InetTransfer::WakeIfReached()
{
    if (m_bAwaiting && Reached(m_eAwaited, m_uAwaitedBodyLength))
        m_Loop.MarkChanged(m_Job);
}

void InetTransfer::OnFinished(CURLcode eResult)
{
    if (m_State.Ended())
        return;
    if (eResult != CURLE_OK)
        m_State.Fail(MapCurlResult(eResult, m_State.Reached(ExchangePhase::Sending), m_Job.pEasy));
    else if (!m_State.Advance(ExchangePhase::Done))
        m_State.Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE); // ended without a head
    m_Job.Changed.notify_all();
}

void InetTransfer::ResumeReceiving()
{
    // Half the window drains before the transfer goes on, so that a full window does not wake
    // the network thread for every small read.
    const int nPaused = m_State.PausedBits();
    if (!(nPaused & CURLPAUSE_RECV) || m_State.WindowHeld() > kWindowLimit / 2)
        return;
    m_State.SetPausedBits(nPaused & ~CURLPAUSE_RECV);
    m_Loop.ApplyPause(m_Job);
}

void InetTransfer::ResumeSending()
{
    const int nPaused = m_State.PausedBits();
    if (!(nPaused & CURLPAUSE_SEND))
        return;
    m_State.SetPausedBits(nPaused & ~CURLPAUSE_SEND);
    m_Loop.ApplyPause(m_Job);
}

// ---------------------------------------------------------------------------------------------
// libcurl's callbacks. They run on the network thread, which holds no lock while it calls
// libcurl; each takes g_NetworkMutex and marks the job, so that its owner is woken. No exception
// may leave them: one that escapes ends the transfer with an error instead.

size_t InetTransfer::OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const size_t uLength = uSize * uCount;
    try
    {
        MutexLock Held(g_NetworkMutex);
        // 0 ends the transfer; the head's error is the exchange's already.
        if (!pThis->m_State.OnHeaderLine(pData, uLength))
            return 0;
        pThis->WakeIfReached();
        // An answer that comes while the upload waits for the caller's next bytes: the read
        // callback is to say that no more come, or the paused upload would hold the exchange open.
        if (pThis->m_State.Answered())
            pThis->ResumeSending();
        return uLength;
    }
    catch (...)
    {
        return 0; // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
}

size_t InetTransfer::OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const size_t uLength = uSize * uCount;
    try
    {
        MutexLock Held(g_NetworkMutex);
        // A full window holds the transfer until the caller reads again. libcurl keeps these
        // bytes and offers them once more after curl_easy_pause.
        if (!pThis->m_State.OnBody(pData, uLength, kWindowLimit))
            return CURL_WRITEFUNC_PAUSE;
        pThis->WakeIfReached();
        return uLength;
    }
    catch (...)
    {
        return 0;
    }
}

size_t InetTransfer::OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    try
    {
        MutexLock Held(g_NetworkMutex);
        const size_t uGiven = pThis->m_State.GiveUpload(pBuffer, uSize * uCount);
        pThis->WakeIfReached();
        return uGiven;
    }
    catch (...)
    {
        return CURL_READFUNC_ABORT;
    }
}

// libcurl rewinds only to the start, to send the request again on a new connection.
int InetTransfer::OnUploadSeek(void* pUser, curl_off_t llOffset, int nOrigin)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    if (llOffset != 0 || nOrigin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    try
    {
        MutexLock Held(g_NetworkMutex);
        return pThis->m_State.RewindUpload() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
    }
    catch (...)
    {
        return CURL_SEEKFUNC_FAIL;
    }
}

int InetTransfer::OnConnected(void* pUser, char*, char*, int, int)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    try
    {
        MutexLock Held(g_NetworkMutex);
        pThis->m_State.OnConnected();
        pThis->WakeIfReached();
        return CURL_PREREQFUNC_OK;
    }
    catch (...)
    {
        return CURL_PREREQFUNC_ABORT;
    }
}
} // namespace inet
} // namespace tarn
