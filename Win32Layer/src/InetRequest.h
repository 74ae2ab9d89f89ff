#pragma once

// A WinINet request handle: the states of HttpSendRequestExA, InternetWriteFile, HttpEndRequestA
// and InternetReadFile over one HTTP exchange and the redirects it follows. InetTransfer runs the
// exchanges on libcurl; the addresses, proxies, error codes and header queries have homes of their
// own (InetUrl, InetProxy, InetResult, InetQuery).
#include "InetHeaders.h"
#include "InetObjects.h"
#include "InetTransfer.h"

#include <memory>
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
struct RequestSetup
{
    std::shared_ptr<const SessionSettings> pSettings;
    Timeouts InitialTimeouts;
    std::string Verb; // "GET", "POST", ...
    std::string Url;  // absolute, as libcurl takes it
    bool bHttp10 = false;
    DWORD dwFlags = 0;     // INTERNET_FLAG_*
    bool bFromUrl = false; // opened by InternetOpenUrlA: already sent, read-only
};

class InetRequest : public InetObject
{
public:
    explicit InetRequest(RequestSetup Setup);

    // Sets aside what the transfer needs. ERROR_SUCCESS or an error code.
    DWORD Init() { return m_Transfer.Init(); }

    // Each returns ERROR_SUCCESS or WinINet's error code; they are the bodies of the functions of
    // the same names. Each holds the call mutex throughout, so that calls made on this handle from
    // several threads take turns.
    DWORD AddHeaders(const char* pszHeaders, DWORD dwLength, DWORD dwModifiers) TARN_EXCLUDES(m_CallMutex);
    // The extra headers of InternetOpenUrlA, before OpenUrl.
    DWORD SetUrlHeaders(const char* pszHeaders, DWORD dwLength) TARN_EXCLUDES(m_CallMutex);
    DWORD OpenUrl() TARN_EXCLUDES(m_CallMutex);
    DWORD SendRequest(const INTERNET_BUFFERSA* pBuffersIn) TARN_EXCLUDES(m_CallMutex);
    // HttpSendRequestA's body: SendRequest and EndRequest in one call.
    DWORD SendWhole(const INTERNET_BUFFERSA& BuffersIn) TARN_EXCLUDES(m_CallMutex);
    DWORD Write(const void* pData, DWORD dwLength, DWORD* pdwWritten) TARN_EXCLUDES(m_CallMutex);
    DWORD EndRequest() TARN_EXCLUDES(m_CallMutex);
    DWORD Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead) TARN_EXCLUDES(m_CallMutex);
    DWORD QueryInfo(DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength, DWORD* pdwIndex)
        TARN_EXCLUDES(m_CallMutex);

    void OnClose() override { m_Transfer.Cancel(); }

private:
    enum class State
    {
        Idle,      // opened, not sent: headers may still change
        Sending,   // request head sent, body being written
        Receiving, // response head arrived, body being read
        Failed     // an exchange failed; only a new HttpSendRequestExA starts again
    };

    // What the exchange under way sends; a redirect changes it.
    struct ExchangeTarget
    {
        std::string Verb;
        std::string Url;
        HeaderList Headers;
        unsigned uRedirects = 0;
    };

    // Whether a request may move from eFrom to eTo.
    static bool CanMove(State eFrom, State eTo);
    // The only place the state changes; refuses a move that CanMove does not allow.
    bool MoveTo(State eTo) TARN_REQUIRES(m_CallMutex);

    DWORD SendHeld(const INTERNET_BUFFERSA* pBuffersIn, bool bWhole) TARN_REQUIRES(m_CallMutex);
    DWORD EndHeld() TARN_REQUIRES(m_CallMutex);
    DWORD WriteHeld(const void* pData, DWORD dwLength, DWORD* pdwWritten) TARN_REQUIRES(m_CallMutex);
    DWORD ApplySendHeaders(const INTERNET_BUFFERSA* pBuffersIn) TARN_REQUIRES(m_CallMutex);
    DWORD PrepareBody(DWORD dwTotal) TARN_REQUIRES(m_CallMutex);
    DWORD StartExchange() TARN_REQUIRES(m_CallMutex);
    DWORD AwaitHead() TARN_REQUIRES(m_CallMutex);
    DWORD FollowRedirect() TARN_REQUIRES(m_CallMutex);
    DWORD Fail(DWORD dwError) TARN_REQUIRES(m_CallMutex);
    std::vector<std::string> CurlHeaderLines() const TARN_REQUIRES(m_CallMutex);

    // Held for a whole call, and so while the call waits for the exchange under g_NetworkMutex.
    Mutex m_CallMutex TARN_ACQUIRED_BEFORE(g_NetworkMutex);

    // Fixed at open.
    const std::shared_ptr<const SessionSettings> m_pSettings;
    const std::string m_OpenVerb;
    const std::string m_OpenUrl;
    const bool m_bHttp10;
    const DWORD m_dwFlags;
    const bool m_bFromUrl;
    HeaderList m_Headers TARN_GUARDED_BY(m_CallMutex); // as the caller set them

    State m_eState TARN_GUARDED_BY(m_CallMutex) = State::Idle;
    ExchangeTarget m_Target TARN_GUARDED_BY(m_CallMutex);
    // The network thread reads it through the exchange, only while the call that started that
    // exchange waits for it.
    UploadBody m_Body TARN_GUARDED_BY(m_CallMutex);
    DWORD m_dwReadError TARN_GUARDED_BY(m_CallMutex) = ERROR_SUCCESS;
    InetTransfer m_Transfer; // last: it reads m_Body until it is gone
};
} // namespace inet
} // namespace tarn
