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

// Copies what the source still holds, at most uCapacity bytes and uRemaining of the body.
size_t CopyFrom(const unsigned char* pFrom, size_t uAvailable, char* pBuffer, size_t uCapacity,
                std::uint64_t uRemaining)
{
    const size_t uCount = static_cast<size_t>(std::min<std::uint64_t>({uCapacity, uRemaining, uAvailable}));
    std::memcpy(pBuffer, pFrom, uCount);
    return uCount;
}
} // namespace

InetTransfer::~InetTransfer()
{
    Stop();
    if (m_pMulti != nullptr)
        curl_multi_cleanup(m_pMulti);
    if (m_pCurlHeaders != nullptr)
        curl_slist_free_all(m_pCurlHeaders);
}

DWORD InetTransfer::Init()
{
    m_Window.Bytes.reserve(CURL_MAX_WRITE_SIZE);
    m_pMulti = curl_multi_init();
    if (m_pMulti == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, 2L);
    return ERROR_SUCCESS;
}

void InetTransfer::Cancel()
{
    m_bCancelled = true;
    if (m_pMulti != nullptr)
        curl_multi_wakeup(m_pMulti);
}

DWORD InetTransfer::Start(const ExchangeRequest& Request)
{
    Stop();
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
    m_pEasy = curl_easy_init();
    if (m_pEasy == nullptr || m_pCurlHeaders == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD dwError = Configure(Request);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    if (curl_multi_add_handle(m_pMulti, m_pEasy) != CURLM_OK)
        return ERROR_INTERNET_INTERNAL_ERROR;
    m_bAttached = true;
    return ERROR_SUCCESS;
}

DWORD InetTransfer::Configure(const ExchangeRequest& Request)
{
    CURL* const pEasy = m_pEasy;
    if (curl_easy_setopt(pEasy, CURLOPT_URL, Request.Url.c_str()) != CURLE_OK)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
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
    return ERROR_SUCCESS;
}

void InetTransfer::Stop()
{
    if (m_pEasy == nullptr)
        return;
    if (m_bAttached)
    {
        curl_multi_remove_handle(m_pMulti, m_pEasy);
        m_bAttached = false;
    }
    curl_easy_cleanup(m_pEasy);
    m_pEasy = nullptr;
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
    return Drive(
        [this, uBodyLength]
        { return m_Exchange.bUploadAsked || (m_Exchange.bConnected && uBodyLength == 0) || Answered(); },
        dwIdleLimitMs);
}

DWORD InetTransfer::AwaitAnswer(DWORD dwIdleLimitMs)
{
    return Drive([this] { return Answered(); }, dwIdleLimitMs);
}

DWORD InetTransfer::Upload(const void* pData, size_t uLength, DWORD dwIdleLimitMs)
{
    m_Source = {static_cast<const unsigned char*>(pData), uLength, 0};
    ResumeSending();
    const DWORD dwError = Drive([this] { return m_Source.Full() || Answered(); }, dwIdleLimitMs);
    // The caller's buffer is theirs again once this call returns.
    m_Source = CallerBuffer<const unsigned char>();
    return dwError;
}

DWORD InetTransfer::Receive(unsigned char* pOut, size_t uMax, DWORD dwIdleLimitMs, size_t& uDone)
{
    uDone = m_Window.Take(pOut, uMax);
    if (uDone == uMax || m_Exchange.bFinished)
        return ERROR_SUCCESS;
    m_Target = {pOut + uDone, uMax - uDone, 0};
    ResumeReceiving();
    const DWORD dwError = Drive([this] { return m_Target.Full(); }, dwIdleLimitMs);
    uDone += m_Target.uDone;
    m_Target = CallerBuffer<unsigned char>();
    return dwError;
}

DWORD InetTransfer::FinalError() const
{
    if (m_Exchange.bFinished && m_Exchange.eResult != CURLE_OK && m_Window.Empty())
        return m_Exchange.dwResultError;
    return ERROR_SUCCESS;
}

template <typename Ready> DWORD InetTransfer::Drive(Ready IsReady, DWORD dwIdleLimitMs)
{
    IdleClock Idle(dwIdleLimitMs, Progress());
    for (;;)
    {
        if (m_bCancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        if (m_bAttached)
        {
            int nRunning = 0;
            if (curl_multi_perform(m_pMulti, &nRunning) != CURLM_OK)
                return ERROR_INTERNET_INTERNAL_ERROR;
            CollectResult();
        }
        if (IsReady())
            return ERROR_SUCCESS;
        if (m_Exchange.bFinished)
            return m_Exchange.eResult == CURLE_OK ? ERROR_SUCCESS : m_Exchange.dwResultError;
        const long long llWaitMs = Idle.NextWaitMs(Progress(), m_Exchange.bConnected);
        if (llWaitMs < 0)
            return ERROR_INTERNET_TIMEOUT;
        if (curl_multi_poll(m_pMulti, nullptr, 0, static_cast<int>(std::max<long long>(llWaitMs, 1)),
                            nullptr) != CURLM_OK)
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

void InetTransfer::CollectResult()
{
    int nQueued = 0;
    while (CURLMsg* pMessage = curl_multi_info_read(m_pMulti, &nQueued))
    {
        if (pMessage->msg == CURLMSG_DONE && pMessage->easy_handle == m_pEasy)
        {
            m_Exchange.bFinished = true;
            m_Exchange.eResult = pMessage->data.result;
            m_Exchange.dwResultError =
                m_Exchange.dwHeadError != ERROR_SUCCESS
                    ? m_Exchange.dwHeadError
                    : MapCurlResult(m_Exchange.eResult, m_Exchange.bConnected, m_pEasy);
        }
    }
}

std::uint64_t InetTransfer::Progress() const
{
    if (m_pEasy == nullptr)
        return m_Exchange.uBytesIn;
    curl_off_t llUploaded = 0;
    long lRequestHead = 0;
    curl_easy_getinfo(m_pEasy, CURLINFO_SIZE_UPLOAD_T, &llUploaded);
    curl_easy_getinfo(m_pEasy, CURLINFO_REQUEST_SIZE, &lRequestHead);
    return m_Exchange.uBytesIn + static_cast<std::uint64_t>(llUploaded) +
           static_cast<std::uint64_t>(lRequestHead);
}

void InetTransfer::ResumeReceiving()
{
    if (!m_Exchange.bRecvPaused || !m_bAttached)
        return;
    // libcurl may hand over the bytes it held back from inside this call, and pause again.
    m_Exchange.bRecvPaused = false;
    curl_easy_pause(m_pEasy, m_Exchange.bSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
}

void InetTransfer::ResumeSending()
{
    if (!m_Exchange.bSendPaused || !m_bAttached)
        return;
    m_Exchange.bSendPaused = false;
    curl_easy_pause(m_pEasy, m_Exchange.bRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
}

size_t InetTransfer::ReceiveWindow::Take(unsigned char* pOut, size_t uMax)
{
    const size_t uCount = std::min(uMax, Bytes.size() - uPos);
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
    Bytes.assign(pBegin, pEnd);
    uPos = 0;
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
        if (pLocation != nullptr && !pLocation->Value.empty() && (!bKeepsBody || m_pBody->CanSendAgain()))
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
    else if (Answered())
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
// libcurl's callbacks. They run on the calling thread, inside curl_multi_perform or curl_easy_pause.

size_t InetTransfer::OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    const size_t uLength = uSize * uCount;
    try
    {
        pThis->m_Exchange.uBytesIn += uLength;
        // Trailers after a chunked body, or the rest of a head that is being left for a redirect.
        if (pThis->Answered())
            return uLength;
        if (pThis->m_Exchange.Pending.AddLine(std::string(pData, uLength)))
            pThis->OnHeadComplete();
        // 0 ends the transfer; CollectResult then reports the head's error.
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
    const size_t uLength = uSize * uCount;
    if (pThis->m_Exchange.bRedirectPending)
        return uLength; // the body of a redirect is not wanted
    if (!pThis->m_Window.Empty())
    {
        // The window is still full: hold the transfer until the caller reads again. libcurl keeps
        // these bytes and offers them once more after curl_easy_pause.
        pThis->m_Exchange.bRecvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    CallerBuffer<unsigned char>& Target = pThis->m_Target;
    size_t uDirect = 0;
    if (Target.pData != nullptr)
    {
        uDirect = std::min(uLength, Target.uSize - Target.uDone);
        std::memcpy(Target.pData + Target.uDone, pData, uDirect);
        Target.uDone += uDirect;
    }
    if (uDirect < uLength)
    {
        try
        {
            pThis->m_Window.Keep(pData + uDirect, pData + uLength);
        }
        catch (...)
        {
            return 0;
        }
    }
    pThis->m_Exchange.uBytesIn += uLength;
    return uLength;
}

size_t InetTransfer::OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser)
{
    InetTransfer* const pThis = static_cast<InetTransfer*>(pUser);
    pThis->m_Exchange.bUploadAsked = true;
    return pThis->GiveUpload(pBuffer, uSize * uCount);
}

int InetTransfer::OnConnected(void* pUser, char*, char*, int, int)
{
    static_cast<InetTransfer*>(pUser)->m_Exchange.bConnected = true;
    return CURL_PREREQFUNC_OK;
}
} // namespace inet
} // namespace tarn
