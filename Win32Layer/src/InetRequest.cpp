#include "InetRequest.h"

#include "InetQuery.h"
#include "InetUrl.h"

namespace tarn
{
namespace inet
{
namespace
{
// The largest body kept whole, to be sent again after a 307 or 308 or when a kept connection turns
// out closed; a larger one is not copied, and takes a connection of its own.
constexpr size_t kReplayLimit = 64 * 1024;
constexpr unsigned kMaxRedirects = 20;
} // namespace

InetRequest::InetRequest(RequestSetup Setup)
    : InetObject(HandleKind::Request, Setup.InitialTimeouts), m_pSettings(std::move(Setup.pSettings)),
      m_OpenVerb(std::move(Setup.Verb)), m_OpenUrl(std::move(Setup.Url)), m_bHttp10(Setup.bHttp10),
      m_dwFlags(Setup.dwFlags), m_bFromUrl(Setup.bFromUrl)
{
}

DWORD InetRequest::AddHeaders(const char* pszHeaders, DWORD dwLength, DWORD dwModifiers)
{
    const MutexLock Held(m_CallMutex);
    if (pszHeaders == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (m_bFromUrl || m_eState == State::Sending || m_eState == State::Receiving)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return m_Headers.ApplyBlock(pszHeaders, dwLength, dwModifiers);
}

DWORD InetRequest::SetUrlHeaders(const char* pszHeaders, DWORD dwLength)
{
    const MutexLock Held(m_CallMutex);
    return m_Headers.ApplyBlock(pszHeaders, dwLength, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

DWORD InetRequest::OpenUrl()
{
    const MutexLock Held(m_CallMutex);
    m_Target = ExchangeTarget{"GET", m_OpenUrl, m_Headers, 0};
    m_Body = UploadBody();
    DWORD dwError = StartExchange();
    if (dwError == ERROR_SUCCESS)
        dwError = AwaitHead();
    if (dwError != ERROR_SUCCESS)
        return Fail(dwError);
    MoveTo(State::Receiving);
    return ERROR_SUCCESS;
}

DWORD InetRequest::SendRequest(const INTERNET_BUFFERSA* pBuffersIn)
{
    const MutexLock Held(m_CallMutex);
    return SendHeld(pBuffersIn, false);
}

// HttpSendRequestA: the send and its end in one call, which no other call on the handle can come
// between. Without a body it waits for the answer alone, as InternetOpenUrlA does, so the receive
// time-out bounds the TLS handshake too.
DWORD InetRequest::SendWhole(const INTERNET_BUFFERSA& BuffersIn)
{
    const MutexLock Held(m_CallMutex);
    const DWORD dwError = SendHeld(&BuffersIn, true);
    return dwError == ERROR_SUCCESS ? EndHeld() : dwError;
}

DWORD InetRequest::SendHeld(const INTERNET_BUFFERSA* pBuffersIn, bool bWhole)
{
    if (m_bFromUrl || m_eState == State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (pBuffersIn != nullptr &&
        (pBuffersIn->dwStructSize != sizeof(INTERNET_BUFFERSA) || pBuffersIn->Next != nullptr))
        return ERROR_INVALID_PARAMETER;
    // The network thread lets go of the last exchange before its body and target change.
    m_Transfer.Stop();
    DWORD dwError = ApplySendHeaders(pBuffersIn);
    if (dwError == ERROR_SUCCESS)
        dwError = PrepareBody(pBuffersIn != nullptr ? pBuffersIn->dwBufferTotal : 0);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    m_dwReadError = ERROR_SUCCESS;

    dwError = StartExchange();
    if (dwError == ERROR_SUCCESS)
    {
        MoveTo(State::Sending);
        if (!bWhole || m_Body.bHasBody)
            dwError = m_Transfer.AwaitRequestSent(m_Body.uLength, GetTimeouts().dwSendMs);
    }
    if (dwError != ERROR_SUCCESS)
        return Fail(dwError);
    if (pBuffersIn != nullptr && pBuffersIn->lpvBuffer != nullptr && pBuffersIn->dwBufferLength != 0)
    {
        DWORD dwWritten = 0;
        return WriteHeld(pBuffersIn->lpvBuffer, pBuffersIn->dwBufferLength, &dwWritten);
    }
    return ERROR_SUCCESS;
}

// The target of a send: the handle's verb, address and headers, with the headers given to this
// send on top (they count for it only; a length of 0 means up to the NUL).
DWORD InetRequest::ApplySendHeaders(const INTERNET_BUFFERSA* pBuffersIn)
{
    m_Target = ExchangeTarget{m_OpenVerb, m_OpenUrl, m_Headers, 0};
    if (pBuffersIn == nullptr || pBuffersIn->lpcszHeader == nullptr)
        return ERROR_SUCCESS;
    const DWORD dwHeadersLength =
        pBuffersIn->dwHeadersLength == 0 ? static_cast<DWORD>(-1) : pBuffersIn->dwHeadersLength;
    return m_Target.Headers.ApplyBlock(pBuffersIn->lpcszHeader, dwHeadersLength,
                                       HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

// The body's length comes from the caller's Content-Length, else from dwBufferTotal; every verb
// but GET and HEAD announces one, if only 0.
DWORD InetRequest::PrepareBody(DWORD dwTotal)
{
    const bool bBodyVerb = m_Target.Verb != "GET" && m_Target.Verb != "HEAD";
    UploadBody Body;
    if (const HeaderLine* pLength = m_Target.Headers.Find("Content-Length"))
    {
        if (!ParseDecimal(pLength->Value, Body.uLength))
            return ERROR_HTTP_INVALID_HEADER;
    }
    else
    {
        Body.uLength = dwTotal;
        if (bBodyVerb || dwTotal != 0)
            m_Target.Headers.Add("Content-Length", std::to_string(dwTotal));
    }
    Body.bHasBody = bBodyVerb || Body.uLength != 0;
    Body.bKeepReplay = Body.bHasBody && Body.uLength <= kReplayLimit;
    m_Body = std::move(Body);
    return ERROR_SUCCESS;
}

DWORD InetRequest::Write(const void* pData, DWORD dwLength, DWORD* pdwWritten)
{
    const MutexLock Held(m_CallMutex);
    return WriteHeld(pData, dwLength, pdwWritten);
}

DWORD InetRequest::WriteHeld(const void* pData, DWORD dwLength, DWORD* pdwWritten)
{
    *pdwWritten = 0;
    if (m_eState != State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (dwLength == 0)
        return ERROR_SUCCESS;
    if (dwLength > m_Body.uLength - m_Body.uWritten)
        return ERROR_INVALID_PARAMETER; // more than the Content-Length announced
    // Once the server has answered, the rest of the body is not wanted.
    if (!m_Transfer.Answered())
    {
        // The exchange keeps the copy of a small body as it takes the bytes.
        const DWORD dwError = m_Transfer.Upload(pData, dwLength, GetTimeouts().dwSendMs);
        if (dwError != ERROR_SUCCESS)
            return Fail(dwError);
    }
    m_Body.uWritten += dwLength;
    *pdwWritten = dwLength;
    return ERROR_SUCCESS;
}

DWORD InetRequest::EndRequest()
{
    const MutexLock Held(m_CallMutex);
    return EndHeld();
}

DWORD InetRequest::EndHeld()
{
    if (m_eState != State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    // A body shorter than its Content-Length: the server would wait for the rest.
    if (m_Body.uWritten < m_Body.uLength && !m_Transfer.Answered())
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    const DWORD dwError = AwaitHead();
    if (dwError != ERROR_SUCCESS)
        return Fail(dwError);
    MoveTo(State::Receiving);
    return ERROR_SUCCESS;
}

DWORD InetRequest::Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead)
{
    const MutexLock Held(m_CallMutex);
    *pdwRead = 0;
    if (m_dwReadError != ERROR_SUCCESS)
        return m_dwReadError;
    if (m_eState != State::Receiving)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;

    size_t uDone = 0;
    const DWORD dwError =
        m_Transfer.Receive(static_cast<unsigned char*>(pBuffer), dwToRead, GetTimeouts().dwReceiveMs, uDone);
    if (dwError != ERROR_SUCCESS)
    {
        m_dwReadError = dwError;
        m_Transfer.Stop();
    }
    if (m_dwReadError == ERROR_SUCCESS)
        m_dwReadError = m_Transfer.FinalError();
    // Bytes that arrived before a failure are handed out first; the next call reports it.
    if (m_dwReadError != ERROR_SUCCESS && uDone == 0)
        return m_dwReadError;
    *pdwRead = static_cast<DWORD>(uDone);
    return ERROR_SUCCESS;
}

DWORD InetRequest::QueryInfo(DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength, DWORD* pdwIndex)
{
    const MutexLock Held(m_CallMutex);
    const QuerySource Source{m_OpenVerb, m_OpenUrl, m_bHttp10, m_Headers,
                             m_Transfer.HeadDone() ? &m_Transfer.Head() : nullptr};
    return AnswerQuery(Source, dwInfoLevel, pBuffer, pdwLength, pdwIndex);
}

DWORD InetRequest::StartExchange()
{
    ExchangeRequest Request;
    Request.Verb = m_Target.Verb;
    Request.Url = m_Target.Url;
    Request.HeaderLines = CurlHeaderLines();
    Request.bHttp10 = m_bHttp10;
    Request.bFollowRedirects = !(m_dwFlags & INTERNET_FLAG_NO_AUTO_REDIRECT);
    Request.pSettings = m_pSettings.get();
    Request.pBody = &m_Body;
    Request.dwConnectMs = GetTimeouts().dwConnectMs;
    return m_Transfer.Start(Request);
}

std::vector<std::string> InetRequest::CurlHeaderLines() const
{
    const HeaderList& Headers = m_Target.Headers;
    std::vector<std::string> Lines;
    for (const HeaderLine& Header : Headers.Lines())
    {
        // libcurl waits for a 100 Continue when asked with Expect; WinINet never does.
        if (EqualsNoCase(Header.Name, "Expect"))
            continue;
        // "Name;" is libcurl's way of sending a header with an empty value.
        Lines.push_back(Header.Value.empty() ? Header.Name + ";" : Header.Name + ": " + Header.Value);
    }
    // Headers that WinINet sends for the no-cache flags, unless the caller set them.
    if (m_dwFlags & (INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE))
    {
        if (!Headers.Has("Pragma"))
            Lines.push_back("Pragma: no-cache");
        if (!Headers.Has("Cache-Control"))
            Lines.push_back("Cache-Control: no-cache");
    }
    // An HTTP/1.0 connection closes after its answer unless the request asks to keep it.
    if (m_bHttp10 && (m_dwFlags & INTERNET_FLAG_KEEP_CONNECTION) && !Headers.Has("Connection"))
        Lines.push_back("Connection: Keep-Alive");
    // "Name:" removes a header that libcurl would add by itself.
    if (!Headers.Has("Accept"))
        Lines.push_back("Accept:");
    if (m_Body.bHasBody && !Headers.Has("Content-Type"))
        Lines.push_back("Content-Type:");
    Lines.push_back("Expect:");
    return Lines;
}

DWORD InetRequest::AwaitHead()
{
    for (;;)
    {
        DWORD dwError = m_Transfer.AwaitAnswer(GetTimeouts().dwReceiveMs);
        if (dwError != ERROR_SUCCESS || m_Transfer.HeadDone())
            return dwError;
        if (!m_Transfer.RedirectPending())
            return ERROR_HTTP_INVALID_SERVER_RESPONSE; // ended without a head
        dwError = FollowRedirect();
        if (dwError != ERROR_SUCCESS)
            return dwError;
    }
}

DWORD InetRequest::FollowRedirect()
{
    // The network thread lets go of the redirect before the body and target change.
    m_Transfer.Stop();
    if (++m_Target.uRedirects > kMaxRedirects)
        return ERROR_HTTP_REDIRECT_FAILED;
    std::string Url;
    if (!ResolveRedirect(m_Target.Url, m_Transfer.Location(), Url))
        return ERROR_HTTP_REDIRECT_FAILED;

    // 303 turns everything but HEAD into a GET, 301 and 302 turn a POST into a GET; 307 and 308
    // repeat the request as it was, body included.
    const DWORD dwStatus = m_Transfer.RedirectStatus();
    const std::string& Verb = m_Target.Verb;
    const bool bToGet =
        (dwStatus == 303 && Verb != "HEAD") || ((dwStatus == 301 || dwStatus == 302) && Verb == "POST");
    if (bToGet)
    {
        m_Target.Verb = "GET";
        m_Body = UploadBody();
        m_Target.Headers.RemoveAll("Content-Length");
        m_Target.Headers.RemoveAll("Content-Type");
    }
    m_Target.Url = std::move(Url);
    return StartExchange();
}

DWORD InetRequest::Fail(DWORD dwError)
{
    m_Transfer.Stop();
    MoveTo(State::Failed);
    return dwError;
}

// Opened: sent, or (from InternetOpenUrlA) answered at once. A send may start over from any state
// but Sending; any state may fail.
bool InetRequest::CanMove(State eFrom, State eTo)
{
    switch (eTo)
    {
    case State::Idle:
        return false;
    case State::Sending:
        return eFrom != State::Sending;
    case State::Receiving:
        return eFrom == State::Idle || eFrom == State::Sending;
    case State::Failed:
        return true;
    }
    return false;
}

bool InetRequest::MoveTo(State eTo)
{
    if (!CanMove(m_eState, eTo))
        return false;
    m_eState = eTo;
    return true;
}
} // namespace inet
} // namespace tarn
