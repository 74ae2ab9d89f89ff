#pragma once

// One HTTP exchange on libcurl at a time, run on the calling thread through a multi handle of its
// own: the easy handle and its options, the callbacks, the waits.
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
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
// The request body of one send, kept across the redirects it follows.
struct UploadBody
{
    bool bHasBody = false;      // a body goes out, if only an empty one
    std::uint64_t uLength = 0;  // from Content-Length
    std::uint64_t uWritten = 0; // accepted from the caller
    // A copy of a small body, so that a 307 or 308 can send it again.
    bool bKeepReplay = false;
    bool bReplaying = false;
    std::string Replay;

    // Whether all of the body is at hand to be sent again.
    bool CanSendAgain() const
    {
        return !bHasBody || (bKeepReplay && Replay.size() == uLength && uWritten == uLength);
    }
};

// What one exchange sends.
struct ExchangeRequest
{
    std::string Verb;
    std::string Url;
    std::vector<std::string> HeaderLines; // in CURLOPT_HTTPHEADER's form
    bool bHttp10 = false;
    bool bFollowRedirects = true; // a 3xx with a Location ends the exchange as a redirect
    const SessionSettings* pSettings = nullptr;
    const UploadBody* pBody = nullptr; // outlives the exchange
    DWORD dwConnectMs = kDefaultTimeoutMs;
};

class InetTransfer
{
public:
    InetTransfer() = default;
    ~InetTransfer();
    InetTransfer(const InetTransfer&) = delete;
    InetTransfer& operator=(const InetTransfer&) = delete;

    // Creates the multi handle. ERROR_SUCCESS or an error code.
    DWORD Init();
    // Makes a wait in another thread return ERROR_INTERNET_OPERATION_CANCELLED as soon as it can.
    void Cancel();

    // Ends any exchange under way and starts a new one.
    DWORD Start(const ExchangeRequest& Request);
    // Ends the exchange; one that had not finished counts as cancelled.
    void Stop();

    // Each waits at most dwIdleLimitMs without progress and returns ERROR_SUCCESS or an error code.
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
    bool HeadDone() const { return m_Exchange.bHeadDone; }
    bool RedirectPending() const { return m_Exchange.bRedirectPending; }
    bool Answered() const { return HeadDone() || RedirectPending(); }
    // The final head, once HeadDone().
    const ResponseHead& Head() const { return m_Exchange.Head; }
    // The redirect's status and Location, while RedirectPending().
    DWORD RedirectStatus() const { return m_Exchange.Pending.dwStatus; }
    const std::string& Location() const { return m_Exchange.Location; }

private:
    // Everything one exchange learns; a new exchange starts from a fresh one.
    struct ExchangeState
    {
        bool bConnected = false;   // the connection stands
        bool bUploadAsked = false; // libcurl has asked for body bytes
        bool bFinished = false;
        CURLcode eResult = CURLE_OK;
        DWORD dwResultError = ERROR_SUCCESS;
        bool bRecvPaused = false;
        bool bSendPaused = false;
        std::uint64_t uBytesIn = 0;
        std::uint64_t uBodySent = 0; // handed to libcurl
        size_t uReplayPos = 0;
        ResponseHead Pending; // the head being received
        ResponseHead Head;    // the final head
        bool bHeadDone = false;
        bool bRedirectPending = false;
        std::string Location;
        DWORD dwHeadError = ERROR_SUCCESS; // the final head broke the framing rules
    };

    // Response bytes that did not fit the caller's buffer.
    struct ReceiveWindow
    {
        std::vector<unsigned char> Bytes;
        size_t uPos = 0;

        bool Empty() const { return uPos == Bytes.size(); }
        size_t Take(unsigned char* pOut, size_t uMax);
        void Keep(const char* pBegin, const char* pEnd);
    };

    // The caller's buffer during InternetWriteFile (upload) or InternetReadFile (receive).
    template <typename Byte> struct CallerBuffer
    {
        Byte* pData = nullptr;
        size_t uSize = 0;
        size_t uDone = 0;

        bool Full() const { return uDone == uSize; }
    };

    DWORD Configure(const ExchangeRequest& Request);
    template <typename Ready> DWORD Drive(Ready IsReady, DWORD dwIdleLimitMs);
    void CollectResult();
    std::uint64_t Progress() const;
    void ResumeReceiving();
    void ResumeSending();
    void OnHeadComplete();
    size_t GiveUpload(char* pBuffer, size_t uCapacity);

    static size_t OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser);
    static int OnConnected(void* pUser, char*, char*, int, int);

    std::atomic<bool> m_bCancelled{false};
    CURLM* m_pMulti = nullptr;
    CURL* m_pEasy = nullptr; // only while an exchange exists
    curl_slist* m_pCurlHeaders = nullptr;
    bool m_bAttached = false;
    bool m_bFollowRedirects = true;
    const UploadBody* m_pBody = nullptr;

    ExchangeState m_Exchange;
    ReceiveWindow m_Window;
    CallerBuffer<const unsigned char> m_Source; // bytes to upload
    CallerBuffer<unsigned char> m_Target;       // room for received bytes
};
} // namespace inet
} // namespace tarn
