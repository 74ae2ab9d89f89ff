#pragma once

// A WinINet request handle on libcurl: one HTTP exchange (and the redirects it follows), run on
// the calling thread through a multi handle of its own.
//
// Nothing is staged whole. Upload bytes go from the caller's InternetWriteFile buffer straight
// into libcurl's upload buffer through the read callback, which pauses the upload whenever the
// caller has nothing to give. Response bytes go from the write callback straight into the
// caller's InternetReadFile buffer; what does not fit is kept in a window of one callback's worth
// (CURL_MAX_WRITE_SIZE), and further data pauses the receiving side until the caller reads again.
#include "InetHeaders.h"
#include "InetObjects.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
// Percent-encodes what libcurl would refuse or cut in a URL: control characters, space, DEL and
// bytes above 127 (and '#' as well when bEscapeHash is set, for object names that are paths).
std::string EscapeUrlText(const std::string& Text, bool bEscapeHash);

// Checks an address for InternetOpenUrlA and gives it in the form handed to libcurl:
// ERROR_INTERNET_UNRECOGNIZED_SCHEME for a scheme other than http and https (or none),
// ERROR_INTERNET_INVALID_URL for an address that does not parse.
DWORD PrepareUrl(const char* pszUrl, std::string& Prepared);

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
    ~InetRequest() override;

    // Creates the multi handle. ERROR_SUCCESS or an error code.
    DWORD Init();

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

    void OnClose() override;

private:
    enum class State
    {
        Idle,      // opened, not sent: headers may still change
        Sending,   // request head sent, body being written
        Receiving, // response head arrived, body being read
        Failed     // an exchange failed; only a new HttpSendRequestExA starts again
    };

    struct ResponseHead
    {
        std::string Version; // "HTTP/1.1"
        DWORD dwStatus = 0;
        std::string StatusText;
        std::vector<HeaderLine> Headers;
        std::string Raw; // the head as received, CRLF line ends, blank line included
    };

    DWORD StartExchange();
    void StopExchange();
    void Fail();
    template <typename Ready> DWORD Drive(Ready IsReady, DWORD dwIdleLimitMs);
    DWORD AwaitHead();
    DWORD FollowRedirect();
    void CollectResult();
    DWORD MapResult(CURLcode eResult) const;
    std::uint64_t Progress() const;
    void ResumeReceiving();
    void ResumeSending();
    size_t TakeFromWindow(unsigned char* pOut, size_t uMax);
    void OnHeadComplete();
    const HeaderLine* FindResponseHeader(const std::string& Name, size_t uIndex) const;
    std::string RequestHeadText() const;
    curl_slist* BuildCurlHeaders() const;

    static size_t OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser);
    static int OnConnected(void* pUser, char*, char*, int, int);

    std::mutex m_CallMutex;
    std::atomic<bool> m_bCancelled{false};

    // Fixed at open.
    const std::shared_ptr<const SessionSettings> m_pSettings;
    const std::string m_OpenVerb;
    const std::string m_OpenUrl;
    const bool m_bHttp10;
    const DWORD m_dwFlags;
    const bool m_bFromUrl;
    HeaderList m_Headers; // as the caller set them

    CURLM* m_pMulti = nullptr;
    CURL* m_pEasy = nullptr; // only while an exchange exists
    curl_slist* m_pCurlHeaders = nullptr;
    bool m_bAttached = false;

    State m_eState = State::Idle;

    // The exchange under way (a redirect starts a new one).
    std::string m_Verb;
    std::string m_Url;
    HeaderList m_ExchangeHeaders;
    unsigned m_uRedirects = 0;
    bool m_bConnected = false;
    bool m_bUploadAsked = false;
    bool m_bFinished = false;
    CURLcode m_eResult = CURLE_OK;
    DWORD m_dwResultError = ERROR_SUCCESS;
    bool m_bRecvPaused = false;
    bool m_bSendPaused = false;
    std::uint64_t m_uBytesIn = 0;

    // Request body.
    bool m_bHasBody = false;
    std::uint64_t m_uBodyLength = 0;          // from Content-Length
    std::uint64_t m_uBodyWritten = 0;         // accepted from the caller
    std::uint64_t m_uBodySent = 0;            // handed to libcurl in this exchange
    const unsigned char* m_pSource = nullptr; // the caller's buffer, only during InternetWriteFile
    size_t m_uSourceLength = 0;
    size_t m_uSourcePos = 0;
    // A copy of a small body, so that a 307 or 308 can send it again.
    bool m_bKeepReplay = false;
    bool m_bReplaying = false;
    std::string m_Replay;
    size_t m_uReplayPos = 0;

    // Response.
    ResponseHead m_Pending; // the head being received
    ResponseHead m_Head;    // the final head
    bool m_bHeadDone = false;
    bool m_bRedirectPending = false;
    std::string m_Location;
    std::vector<unsigned char> m_Window;
    size_t m_uWindowPos = 0;
    unsigned char* m_pTarget = nullptr; // the caller's buffer, only during InternetReadFile
    size_t m_uTargetSize = 0;
    size_t m_uTargetFilled = 0;
    DWORD m_dwReadError = ERROR_SUCCESS;
};
} // namespace inet
} // namespace tarn
