#pragma once

// One HTTP exchange on libcurl at a time. The exchange runs on the network thread (InetLoop.h);
// the calls here wait for it on the caller's thread, with the loop's mutex guarding everything
// both threads touch.
//
// Nothing is staged whole. Upload bytes go from the caller's InternetWriteFile buffer straight
// into libcurl's upload buffer through the read callback, which pauses the upload whenever the
// caller has nothing to give. Response bytes go from the write callback straight into the
// caller's InternetReadFile buffer while one waits; otherwise they gather in a window of at most
// kWindowLimit bytes (plus one callback's worth), and further data pauses the receiving side
// until the caller reads again. The window lets small reads follow each other without waiting
// for the network thread.
#include "InetHeaders.h"
#include "InetLoop.h"
#include "InetObjects.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
// The request body of one send, kept across the redirects it follows. While an exchange runs,
// the network thread reads it; Replay grows only inside InetTransfer::Upload, under the mutex.
struct UploadBody
{
    bool bHasBody = false;      // a body goes out, if only an empty one
    std::uint64_t uLength = 0;  // from Content-Length
    std::uint64_t uWritten = 0; // accepted from the caller; the caller's thread alone
    // A copy of a small body, so that a 307 or 308 can send it again.
    bool bKeepReplay = false;
    bool bReplaying = false;
    std::string Replay;

    // Whether all of the body is at hand to be sent again, once uSent bytes have gone out.
    bool CanSendAgain(std::uint64_t uSent) const
    {
        return !bHasBody || (bKeepReplay && Replay.size() == uLength && uSent == uLength);
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
    UploadBody* pBody = nullptr; // outlives the exchange
    DWORD dwConnectMs = kDefaultTimeoutMs;
};

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

    // Each waits at most dwIdleLimitMs without progress and returns ERROR_SUCCESS or an error code.
    // Until the request head is on its way: libcurl asks for body bytes, or, with no body, the
    // connection stands; or the server has already answered.
    DWORD AwaitRequestSent(std::uint64_t uBodyLength, DWORD dwIdleLimitMs);
    // Until the final head or a redirect to follow has arrived.
    DWORD AwaitAnswer(DWORD dwIdleLimitMs);
    // Hands the caller's bytes to libcurl, keeping the body's copy for a redirect when it keeps
    // one; returns early when the server has answered.
    DWORD Upload(const void* pData, size_t uLength, DWORD dwIdleLimitMs);
    // Fills the caller's buffer with up to uMax body bytes; uDone tells how many came.
    DWORD Receive(unsigned char* pOut, size_t uMax, DWORD dwIdleLimitMs, size_t& uDone);

    // The error that ended the exchange, once every byte before it has been read; else ERROR_SUCCESS.
    DWORD FinalError() const;
    bool HeadDone() const;
    bool RedirectPending() const;
    bool Answered() const;
    // The final head, once HeadDone(); it no longer changes then.
    const ResponseHead& Head() const { return m_Exchange.Head; }
    // The redirect's status and Location, while RedirectPending(); they no longer change then.
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

    // Response bytes that no caller's buffer has taken yet.
    struct ReceiveWindow
    {
        std::vector<unsigned char> Bytes;
        size_t uPos = 0;

        size_t Held() const { return Bytes.size() - uPos; }
        bool Empty() const { return Held() == 0; }
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

    using Lock = std::unique_lock<std::mutex>;

    DWORD Configure(const ExchangeRequest& Request);
    void StopLocked(Lock& Held);
    template <typename Ready> DWORD Drive(Lock& Held, Ready IsReady, DWORD dwIdleLimitMs);
    void OnFinished(CURLcode eResult) override;
    bool AnsweredLocked() const { return m_Exchange.bHeadDone || m_Exchange.bRedirectPending; }
    std::uint64_t Progress() const;
    void ResumeReceiving();
    void ResumeSending();
    void OnHeadComplete();
    size_t GiveUpload(char* pBuffer, size_t uCapacity);

    static size_t OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser);
    static size_t OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser);
    static int OnConnected(void* pUser, char*, char*, int, int);

    InetLoop& m_Loop;
    LoopJob m_Job; // its easy handle exists only while an exchange does
    std::atomic<bool> m_bCancelled{false};
    curl_slist* m_pCurlHeaders = nullptr;
    bool m_bFollowRedirects = true;
    UploadBody* m_pBody = nullptr;

    ExchangeState m_Exchange;
    ReceiveWindow m_Window;
    CallerBuffer<const unsigned char> m_Source; // bytes to upload
    CallerBuffer<unsigned char> m_Target;       // room for received bytes
};
} // namespace inet
} // namespace tarn
