#pragma once

// A WinINet request handle: the states of HttpSendRequestExA, InternetWriteFile, HttpEndRequestA
// and InternetReadFile over one HTTP exchange and the redirects it follows. InetTransfer runs the
// exchanges on libcurl; the addresses, proxies, error codes and header queries have homes of their
// own (InetUrl, InetProxy, InetResult, InetQuery).
#include "InetHeaders.h"
#include "InetObjects.h"
#include "InetTransfer.h"

#include <memory>
#include <mutex>
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

    // Serialises the calls made on this handle from several threads.
    std::mutex& CallMutex() { return m_CallMutex; }

    // Each returns ERROR_SUCCESS or WinINet's error code; they are the bodies of the functions of
    // the same names.
    DWORD AddHeaders(const char* pszHeaders, DWORD dwLength, DWORD dwModifiers);
    // The extra headers of InternetOpenUrlA, before OpenUrl.
    DWORD SetUrlHeaders(const char* pszHeaders, DWORD dwLength);
    DWORD OpenUrl();
    DWORD SendRequest(const INTERNET_BUFFERSA* pBuffersIn);
    DWORD Write(const void* pData, DWORD dwLength, DWORD* pdwWritten);
    DWORD EndRequest();
    DWORD Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead);
    DWORD QueryInfo(DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength, DWORD* pdwIndex);

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

    DWORD ApplySendHeaders(const INTERNET_BUFFERSA* pBuffersIn);
    DWORD PrepareBody(DWORD dwTotal);
    DWORD StartExchange();
    DWORD AwaitHead();
    DWORD FollowRedirect();
    DWORD Fail(DWORD dwError);
    std::vector<std::string> CurlHeaderLines() const;

    std::mutex m_CallMutex;

    // Fixed at open.
    const std::shared_ptr<const SessionSettings> m_pSettings;
    const std::string m_OpenVerb;
    const std::string m_OpenUrl;
    const bool m_bHttp10;
    const DWORD m_dwFlags;
    const bool m_bFromUrl;
    HeaderList m_Headers; // as the caller set them

    State m_eState = State::Idle;
    ExchangeTarget m_Target;
    UploadBody m_Body;
    DWORD m_dwReadError = ERROR_SUCCESS;
    InetTransfer m_Transfer; // last: it reads m_Body until it is gone
};
} // namespace inet
} // namespace tarn
