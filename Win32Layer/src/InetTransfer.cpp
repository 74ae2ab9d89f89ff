#include "InetTransfer.h"

#include "InetFraming.h"
#include "InetProxy.h"
#include "InetTrust.h"
#include "InetResult.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
bool IsUnlimited(DWORD dwMilliseconds)
{
    return dwMilliseconds == 0 || dwMilliseconds == 0xFFFFFFFFu;
}

bool IsRedirect(DWORD dwStatus)
{
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 || dwStatus == 308;
}

// The time-outs limit each wait for the peer, not the whole exchange: any byte that moves starts
// the count again. Until the connection stands, libcurl's connect time-out rules.
class IdleClock
{
public:
    using Clock = std::chrono::steady_clock;

    IdleClock(DWORD dwLimitMs, std::uint64_t uProgress)
        : m_dwLimitMs(dwLimitMs), m_uLastProgress(uProgress), m_LastChange(Clock::now())
    {
    }

    // How long to wait for the peer next, in milliseconds; -1 once the limit has passed.
    long long NextWaitMs(std::uint64_t uProgress, bool bConnected)
    {
        const Clock::time_point Now = Clock::now();
        if (uProgress != m_uLastProgress || !bConnected)
        {
            m_uLastProgress = uProgress;
            m_LastChange = Now;
        }
        if (IsUnlimited(m_dwLimitMs))
            return 1000;
        const long long llIdleMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Now - m_LastChange).count();
        if (llIdleMs >= static_cast<long long>(m_dwLimitMs))
            return -1;
        return std::min<long long>(1000, static_cast<long long>(m_dwLimitMs) - llIdleMs);
    }

private:
    const DWORD m_dwLimitMs;
    std::uint64_t m_uLastProgress;
    Clock::time_point m_LastChange;
};

curl_slist* ToCurlList(const std::vector<std::string>& Lines)
{
    curl_slist* pList = nullptr;
    for (const std::string& Line : Lines)
    {
        curl_slist* pNext = curl_slist_append(pList, Line.c_str());
        if (pNext == nullptr)
        {
            curl_slist_free_all(pList);
            return nullptr;
        }
        pList = pNext;
    }
    return pList;
}

// The verb and, with a body, its size. The body comes through the read callback; its size is the
// caller's Content-Length, which goes out as the caller wrote it (a Content-Length of their own
// stops libcurl from adding one).
void SetMethod(CURL* pEasy, const std::string& Verb, const UploadBody& Body)
{
    if (Body.bHasBody)
    {
        curl_easy_setopt(pEasy, CURLOPT_POST, 1L);
        curl_easy_setopt(pEasy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body.uLength));
        if (Verb != "POST")
            curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, Verb.c_str());
    }
    else if (Verb == "HEAD")
        curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    else
    {
        curl_easy_setopt(pEasy, CURLOPT_HTTPGET, 1L);
        if (Verb != "GET")
            curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, Verb.c_str());
    }
}

// libcurl's receive buffer: larger than its 16 KiB default, so that a big body takes fewer passes
// of the network thread.
constexpr long kReceiveBufferSize = 64 * 1024;
// How many response bytes may wait for the caller before the receiving side pauses.
constexpr size_t kWindowLimit = 256 * 1024;

// Copies what the source still holds, at most uCapacity bytes and uRemaining of the body.
size_t CopyFrom(const unsigned char* pFrom, size_t uAvailable, char* pBuffer, size_t uCapacity,
                std::uint64_t uRemaining)
{
    const size_t uCount = static_cast<size_t>(std::min<std::uint64_t>({uCapacity, uRemaining, uAvailable}));
    std::memcpy(pBuffer, pFrom, uCount);
    return uCount;
}
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
    m_Window.Bytes.reserve(CURL_MAX_WRITE_SIZE);
    return ERROR_SUCCESS;
}

void InetTransfer::Cancel()
{
    Lock Held(m_Loop.Mutex());
    m_bCancelled = true;
    m_Job.Changed.notify_all();
}

DWORD InetTransfer::Start(const ExchangeRequest& Request)
{
    Stop();
    // The network thread no longer sees this transfer: what follows is this thread's alone.
    m_Exchange = ExchangeState();
    m_Window.Bytes.clear(); // keeps its capacity
    m_Window.uPos = 0;
    m_bFollowRedirects = Request.bFollowRedirects;
    m_pBody = Request.pBody;

    if (m_pCurlHeaders != nullptr)
    {
        curl_slist_free_all(m_pCurlHeaders);
        m_pCurlHeaders = nullptr;
    }
    m_pCurlHeaders = ToCurlList(Request.HeaderLines);
    m_Job.pEasy = curl_easy_init();
    if (m_Job.pEasy == nullptr || m_pCurlHeaders == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD dwError = Configure(Request);
    if (dwError == ERROR_SUCCESS)
    {
        Lock Held(m_Loop.Mutex());
        dwError = m_Loop.Add(m_Job);
    }
    return dwError; // a handle that was not added is freed by the next Stop
}

DWORD InetTransfer::Configure(const ExchangeRequest& Request)
{
    CURL* const pEasy = m_Job.pEasy;
    if (curl_easy_setopt(pEasy, CURLOPT_URL, Request.Url.c_str()) != CURLE_OK)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pEasy, CURLOPT_HTTP_VERSION,
                     static_cast<long>(Request.bHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
    // WinINet asks for no compression and hands the body over as sent; chunks are decoded.
    curl_easy_setopt(pEasy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(pEasy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PATH_AS_IS, 1L);
    if (!IsUnlimited(Request.dwConnectMs))
        curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Request.dwConnectMs));
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, &InetTransfer::OnHeaderData);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &InetTransfer::OnBodyData);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_READFUNCTION, &InetTransfer::OnUploadData);
    curl_easy_setopt(pEasy, CURLOPT_READDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_PREREQFUNCTION, &InetTransfer::OnConnected);
    curl_easy_setopt(pEasy, CURLOPT_PREREQDATA, this);
    if (!Request.pSettings->Agent.empty())
        curl_easy_setopt(pEasy, CURLOPT_USERAGENT, Request.pSettings->Agent.c_str());
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, m_pCurlHeaders);
    ApplyProxy(pEasy, *Request.pSettings, Request.Url);
    ApplyTrust(pEasy);
    SetMethod(pEasy, Request.Verb, *Request.pBody);
    // A kept connection may turn out closed once the request is on it; libcurl then sends the
    // request again on a new one, which a body streamed from the caller's writes cannot be.
    if (Request.pBody->bHasBody)
        curl_easy_setopt(pEasy, CURLOPT_FRESH_CONNECT, 1L);
    return ERROR_SUCCESS;
}

void InetTransfer::Stop()
{
    Lock Held(m_Loop.Mutex());
    StopLocked(Held);
}

void InetTransfer::StopLocked(Lock& Held)
{
    if (m_Job.pEasy == nullptr)
        return;
    // The network thread frees the easy handle when it takes the job out, unless the exchange
    // finished first; one never added, or finished, is freed here.
    if (m_Job.ePhase != LoopJob::Phase::Detached)
        m_Loop.Remove(Held, m_Job);
    if (CURL* const pEasy = m_Job.pEasy)
    {
        // Detached: no other thread sees the handle, so the mutex need not wait on its freeing.
        m_Job.pEasy = nullptr;
        Held.unlock();
        curl_easy_cleanup(pEasy);
        Held.lock();
    }
    m_Loop.Settle(Held);
    if (!m_Exchange.bFinished)
    {
        m_Exchange.bFinished = true;
        m_Exchange.eResult = CURLE_ABORTED_BY_CALLBACK;
        m_Exchange.dwResultError = ERROR_INTERNET_OPERATION_CANCELLED;
    }
    m_Exchange.bRecvPaused = false;
    m_Exchange.bSendPaused = false;
}

DWORD InetTransfer::AwaitRequestSent(std::uint64_t uBodyLength, DWORD dwIdleLimitMs)
{
    Lock Held(m_Loop.Mutex());
    return Drive(
        Held,
        [this, uBodyLength] {
            return m_Exchange.bUploadAsked || (m_Exchange.bConnected && uBodyLength == 0) || AnsweredLocked();
        },
        dwIdleLimitMs);
}

DWORD InetTransfer::AwaitAnswer(DWORD dwIdleLimitMs)
{
    Lock Held(m_Loop.Mutex());
    return Drive(
        Held, [this] { return AnsweredLocked(); }, dwIdleLimitMs);
}

DWORD InetTransfer::Upload(const void* pData, size_t uLength, DWORD dwIdleLimitMs)
{
    Lock Held(m_Loop.Mutex());
    if (m_pBody->bKeepReplay)
        m_pBody->Replay.append(static_cast<const char*>(pData), uLength);
    m_Source = {static_cast<const unsigned char*>(pData), uLength, 0};
    ResumeSending();
    const DWORD dwError = Drive(
        Held, [this] { return m_Source.Full() || AnsweredLocked(); }, dwIdleLimitMs);
    // The caller's buffer is theirs again once this call returns.
    m_Source = CallerBuffer<const unsigned char>();
    return dwError;
}

DWORD InetTransfer::Receive(unsigned char* pOut, size_t uMax, DWORD dwIdleLimitMs, size_t& uDone)
{
    Lock Held(m_Loop.Mutex());
    uDone = m_Window.Take(pOut, uMax);
    if (uDone == uMax || m_Exchange.bFinished)
    {
        ResumeReceiving();
        return ERROR_SUCCESS;
    }
    m_Target = {pOut + uDone, uMax - uDone, 0};
    ResumeReceiving();
    const DWORD dwError = Drive(
        Held, [this] { return m_Target.Full(); }, dwIdleLimitMs);
    uDone += m_Target.uDone;
    m_Target = CallerBuffer<unsigned char>();
    return dwError;
}

DWORD InetTransfer::FinalError() const
{
    Lock Held(m_Loop.Mutex());
    if (m_Exchange.bFinished && m_Exchange.eResult != CURLE_OK && m_Window.Empty())
        return m_Exchange.dwResultError;
    return ERROR_SUCCESS;
}

bool InetTransfer::HeadDone() const
{
    Lock Held(m_Loop.Mutex());
    return m_Exchange.bHeadDone;
}

bool InetTransfer::RedirectPending() const
{
    Lock Held(m_Loop.Mutex());
    return m_Exchange.bRedirectPending;
}

bool InetTransfer::Answered() const
{
    Lock Held(m_Loop.Mutex());
    return AnsweredLocked();
}

// Waits, with the loop's mutex, until IsReady() holds, the exchange ends, the handle is closed or
// the peer has been idle for too long. libcurl's callbacks wake it.
template <typename Ready> DWORD InetTransfer::Drive(Lock& Held, Ready IsReady, DWORD dwIdleLimitMs)
{
    IdleClock Idle(dwIdleLimitMs, Progress());
    for (;;)
    {
        if (m_bCancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        if (IsReady())
            return ERROR_SUCCESS;
        if (m_Exchange.bFinished)
            return m_Exchange.eResult == CURLE_OK ? ERROR_SUCCESS : m_Exchange.dwResultError;
        const long long llWaitMs = Idle.NextWaitMs(Progress(), m_Exchange.bConnected);
        if (llWaitMs < 0)
            return ERROR_INTERNET_TIMEOUT;
        m_Job.Changed.wait_for(Held, std::chrono::milliseconds(std::max<long long>(llWaitMs, 1)));
    }
}

void InetTransfer::OnFinished(CURLcode eResult)
{
    ExchangeState& X = m_Exchange;
    if (X.bFinished)
        return;
    X.bFinished = true;
    X.eResult = eResult;
    X.dwResultError =
        X.dwHeadError != ERROR_SUCCESS ? X.dwHeadError : MapCurlResult(eResult, X.bConnected, m_Job.pEasy);
    m_Job.Changed.notify_all();
}

// What has moved so far: the connection, body bytes out, head and body bytes in.
std::uint64_t InetTransfer::Progress() const
{
    const ExchangeState& X = m_Exchange;
    return X.uBytesIn + X.uBodySent + (X.bConnected ? 1 : 0) + (X.bUploadAsked ? 1 : 0);
}

void InetTransfer::ResumeReceiving()
{
    // Half the window drains before the transfer goes on, so that a full window does not wake
    // the network thread for every small read.
    if (!m_Exchange.bRecvPaused || m_Window.Held() > kWindowLimit / 2)
        return;
    m_Exchange.bRecvPaused = false;
    m_Loop.SetPause(m_Job, m_Exchange.bSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
}

void InetTransfer::ResumeSending()
{
    if (!m_Exchange.bSendPaused)
        return;
    m_Exchange.bSendPaused = false;
    m_Loop.SetPause(m_Job, m_Exchange.bRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
}

size_t InetTransfer::ReceiveWindow::Take(unsigned char* pOut, size_t uMax)
{
    const size_t uCount = std::min(uMax, Held());
    if (uCount != 0)
        std::memcpy(pOut, Bytes.data() + uPos, uCount);
    uPos += uCount;
    if (Empty())
    {
        Bytes.clear(); // keeps its capacity
        uPos = 0;
    }
    return uCount;
}

void InetTransfer::ReceiveWindow::Keep(const char* pBegin, const char* pEnd)
{
    // Bytes already taken make room first, so that the window stays within its limit's size.
    if (uPos != 0 && uPos >= Held())
    {
        Bytes.erase(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(uPos));
        uPos = 0;
    }
    Bytes.insert(Bytes.end(), pBegin, pEnd);
}

void InetTransfer::OnHeadComplete()
{
    ExchangeState& X = m_Exchange;
    const DWORD dwStatus = X.Pending.dwStatus;
    if (dwStatus < 200)
    {
        // 100 Continue and the other interim answers: the real head follows.
        X.Pending = ResponseHead();
        return;
    }
    if (IsRedirect(dwStatus) && m_bFollowRedirects)
    {
        const HeaderLine* pLocation = X.Pending.Find("Location");
        // A 307 or 308 sends the body again, which works only while a copy of all of it is at hand.
        const bool bKeepsBody = dwStatus == 307 || dwStatus == 308;
        if (pLocation != nullptr && !pLocation->Value.empty() &&
            (!bKeepsBody || m_pBody->CanSendAgain(X.uBodySent)))
        {
            X.Location = pLocation->Value;
            X.bRedirectPending = true;
            return;
        }
    }
    // A body of unknown length is not read at all: the exchange ends with the head.
    X.dwHeadError = CheckFraming(X.Pending);
    if (X.dwHeadError != ERROR_SUCCESS)
        return;
    X.Head = std::move(X.Pending);
    X.Pending = ResponseHead();
    X.bHeadDone = true;
}

size_t InetTransfer::GiveUpload(char* pBuffer, size_t uCapacity)
{
    ExchangeState& X = m_Exchange;
    const std::uint64_t uRemaining = m_pBody->uLength - X.uBodySent;
    if (uRemaining == 0)
        return 0;
    size_t uGiven = 0;
    if (m_pBody->bReplaying)
    {
        const std::string& Replay = m_pBody->Replay;
        uGiven = CopyFrom(reinterpret_cast<const unsigned char*>(Replay.data()) + X.uReplayPos,
                          Replay.size() - X.uReplayPos, pBuffer, uCapacity, uRemaining);
        X.uReplayPos += uGiven;
    }
    else if (m_Source.pData != nullptr && !m_Source.Full())
    {
        uGiven = CopyFrom(m_Source.pData + m_Source.uDone, m_Source.uSize - m_Source.uDone, pBuffer,
                          uCapacity, uRemaining);
        m_Source.uDone += uGiven;
    }
    else if (AnsweredLocked())
        return 0; // the server has answered; the rest of the body is not wanted
    else
    {
        X.bSendPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    X.uBodySent += uGiven;
    return uGiven;
}

// ---------------------------------------------------------------------------------------------
// libcurl's callbacks. They run on the network thread with the loop's mutex held, inside
// curl_multi_perform or curl_easy_pause, and wake the caller waiting in Drive.

size_t InetTransfer::OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const Lock Held = pThis->m_Loop.CallbackLock();
    const size_t uLength = uSize * uCount;
    pThis->m_Loop.Touch(pThis->m_Job);
    try
    {
        pThis->m_Exchange.uBytesIn += uLength;
        // Trailers after a chunked body, or the rest of a head that is being left for a redirect.
        if (pThis->AnsweredLocked())
            return uLength;
        if (pThis->m_Exchange.Pending.AddLine(std::string(pData, uLength)))
            pThis->OnHeadComplete();
        // 0 ends the transfer; OnFinished then reports the head's error.
        return pThis->m_Exchange.dwHeadError == ERROR_SUCCESS ? uLength : 0;
    }
    catch (...)
    {
        return 0; // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
}

size_t InetTransfer::OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const Lock Held = pThis->m_Loop.CallbackLock();
    const size_t uLength = uSize * uCount;
    if (pThis->m_Exchange.bRedirectPending)
        return uLength; // the body of a redirect is not wanted
    ReceiveWindow& Window = pThis->m_Window;
    if (Window.Held() >= kWindowLimit)
    {
        // The window is full: hold the transfer until the caller reads again. libcurl keeps
        // these bytes and offers them once more after curl_easy_pause.
        pThis->m_Exchange.bRecvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    // A waiting caller has taken everything in the window already.
    CallerBuffer<unsigned char>& Target = pThis->m_Target;
    size_t uDirect = 0;
    if (Target.pData != nullptr && Window.Empty())
    {
        uDirect = std::min(uLength, Target.uSize - Target.uDone);
        std::memcpy(Target.pData + Target.uDone, pData, uDirect);
        Target.uDone += uDirect;
    }
    if (uDirect < uLength)
    {
        try
        {
            Window.Keep(pData + uDirect, pData + uLength);
        }
        catch (...)
        {
            return 0;
        }
    }
    pThis->m_Exchange.uBytesIn += uLength;
    pThis->m_Loop.Touch(pThis->m_Job);
    return uLength;
}

size_t InetTransfer::OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const Lock Held = pThis->m_Loop.CallbackLock();
    pThis->m_Exchange.bUploadAsked = true;
    const size_t uGiven = pThis->GiveUpload(pBuffer, uSize * uCount);
    pThis->m_Loop.Touch(pThis->m_Job);
    return uGiven;
}

int InetTransfer::OnConnected(void* pUser, char*, char*, int, int)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const Lock Held = pThis->m_Loop.CallbackLock();
    pThis->m_Exchange.bConnected = true;
    pThis->m_Loop.Touch(pThis->m_Job);
    return CURL_PREREQFUNC_OK;
}
} // namespace inet
} // namespace tarn
