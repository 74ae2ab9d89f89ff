#pragma once

// What one exchange shares between its owner's thread and the network thread: how far it has got,
// how it ended, the heads, the body going out and the bytes coming in. g_NetworkMutex guards all
// of it. The phase only moves forward, through Advance, which refuses any other move; what the
// network thread may be asked to do depends on it (see InetTransfer).
#include "InetHeaders.h"
#include "InetLoop.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
enum class ExchangePhase
{
    Connecting,  // waiting for a connection, new or kept
    Sending,     // the connection stands; the request head goes out
    Uploading,   // libcurl has asked for body bytes
    Redirecting, // a redirect to follow has arrived; the rest of the answer is not wanted
    Body,        // the final head has arrived; body bytes follow
    Done,        // ended cleanly
    Failed       // ended with an error, or stopped before its end
};

// Whether an exchange may move from eFrom to eTo.
bool CanAdvance(ExchangePhase eFrom, ExchangePhase eTo);

// The request body of one send, kept across the redirects it follows. The request handle owns it
// and sets it up before the exchange starts; a small body is copied into Replay as the caller's
// writes hand it to the exchange (ExchangeState::OfferUpload, under g_NetworkMutex), and libcurl
// takes it from there, so that it can go out again: after a 307 or 308, or on a new connection when
// a kept one turns out closed before any answer came.
struct UploadBody
{
    bool bHasBody = false;      // a body goes out, if only an empty one
    std::uint64_t uLength = 0;  // from Content-Length
    std::uint64_t uWritten = 0; // accepted from the caller
    bool bKeepReplay = false;   // a small body: kept whole in Replay
    std::string Replay;         // the body's bytes handed over so far
};

// The caller's buffer during InternetWriteFile (upload) or InternetReadFile (receive).
template <typename Byte> struct CallerBuffer
{
    Byte* pData = nullptr;
    size_t uSize = 0;
    size_t uDone = 0;

    bool Full() const { return uDone == uSize; }
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

class ExchangeState
{
public:
    // Starts over for a new exchange; the window keeps its capacity.
    void Reset(UploadBody* pBody, bool bFollowRedirects) TARN_REQUIRES(g_NetworkMutex);

    ExchangePhase Phase() const TARN_REQUIRES(g_NetworkMutex) { return m_ePhase; }
    bool Advance(ExchangePhase eTo) TARN_REQUIRES(g_NetworkMutex);
    bool Ended() const TARN_REQUIRES(g_NetworkMutex);
    // Whether the exchange got as far as ePhase (one of the live phases) before it ended, if it did.
    bool Reached(ExchangePhase ePhase) const TARN_REQUIRES(g_NetworkMutex)
    {
        return static_cast<int>(m_eReached) >= static_cast<int>(ePhase);
    }
    // Fails the exchange with dwError, unless it has ended already.
    void Fail(DWORD dwError) TARN_REQUIRES(g_NetworkMutex);
    DWORD Error() const TARN_REQUIRES(g_NetworkMutex) { return m_dwError; }
    // The bytes that have moved so far; the idle clocks start again whenever it changes. A new
    // connection moves nothing: the wait for one counts as part of the first wait for the peer.
    std::uint64_t Progress() const TARN_REQUIRES(g_NetworkMutex) { return m_uProgress; }
    // When the bytes last moved: a waiter learns of progress without being woken for it.
    std::chrono::steady_clock::time_point LastProgressAt() const TARN_REQUIRES(g_NetworkMutex)
    {
        return m_LastProgressAt;
    }

    bool HeadDone() const TARN_REQUIRES(g_NetworkMutex) { return m_Head.dwStatus != 0; }
    bool RedirectPending() const TARN_REQUIRES(g_NetworkMutex) { return !m_Location.empty(); }
    bool Answered() const TARN_REQUIRES(g_NetworkMutex) { return HeadDone() || RedirectPending(); }
    const ResponseHead& Head() const TARN_REQUIRES(g_NetworkMutex) { return m_Head; }
    const std::string& Location() const TARN_REQUIRES(g_NetworkMutex) { return m_Location; }
    DWORD RedirectStatus() const TARN_REQUIRES(g_NetworkMutex) { return m_dwRedirectStatus; }

    // The network thread's side, from libcurl's callbacks.
    void OnConnected() TARN_REQUIRES(g_NetworkMutex);
    // False once the head has broken the framing rules: the transfer is to end.
    bool OnHeaderLine(const char* pData, size_t uLength) TARN_REQUIRES(g_NetworkMutex);
    // Puts the bytes into the waiting caller's buffer, and what does not fit into the window;
    // false when the window is full and the transfer is to pause. Throws std::bad_alloc when the
    // window cannot grow.
    bool OnBody(const char* pData, size_t uLength, size_t uWindowLimit) TARN_REQUIRES(g_NetworkMutex);
    // Fills libcurl's upload buffer; CURL_READFUNC_PAUSE when the caller has nothing to give.
    size_t GiveUpload(char* pBuffer, size_t uCapacity) TARN_REQUIRES(g_NetworkMutex);
    // libcurl sends the request again on a new connection and wants the body from its start;
    // false when the body is not kept, and so cannot go out again.
    bool RewindUpload() TARN_REQUIRES(g_NetworkMutex);

    // The owner's side. Throws std::bad_alloc when the copy of a kept body cannot grow.
    void OfferUpload(const void* pData, size_t uLength) TARN_REQUIRES(g_NetworkMutex);
    bool UploadTaken() const TARN_REQUIRES(g_NetworkMutex) { return m_Source.Full(); }
    void WithdrawUpload() TARN_REQUIRES(g_NetworkMutex) { m_Source = CallerBuffer<const unsigned char>(); }
    size_t TakeReceived(unsigned char* pOut, size_t uMax) TARN_REQUIRES(g_NetworkMutex);
    // Lends the caller's buffer to the network thread, which fills it directly while the window
    // is empty, until WithdrawTarget; that returns how many bytes came.
    void LendTarget(unsigned char* pOut, size_t uMax) TARN_REQUIRES(g_NetworkMutex)
    {
        m_Target = {pOut, uMax, 0};
    }
    bool TargetFull() const TARN_REQUIRES(g_NetworkMutex) { return m_Target.Full(); }
    size_t WithdrawTarget() TARN_REQUIRES(g_NetworkMutex);
    size_t WindowHeld() const TARN_REQUIRES(g_NetworkMutex) { return m_Window.Held(); }

    // The pauses that libcurl holds the transfer with (CURLPAUSE_RECV, CURLPAUSE_SEND).
    int PausedBits() const TARN_REQUIRES(g_NetworkMutex) { return m_nPausedBits; }
    void SetPausedBits(int nBits) TARN_REQUIRES(g_NetworkMutex) { m_nPausedBits = nBits; }

    void ReserveWindow(size_t uBytes) TARN_REQUIRES(g_NetworkMutex) { m_Window.Bytes.reserve(uBytes); }

private:
    void OnHeadComplete() TARN_REQUIRES(g_NetworkMutex);
    void AddProgress(std::uint64_t uBytes) TARN_REQUIRES(g_NetworkMutex);

    bool CanSendBodyAgain() const TARN_REQUIRES(g_NetworkMutex);

    ExchangePhase m_ePhase TARN_GUARDED_BY(g_NetworkMutex) = ExchangePhase::Connecting;
    ExchangePhase
        m_eReached TARN_GUARDED_BY(g_NetworkMutex) = ExchangePhase::Connecting; // the last live phase
    DWORD m_dwError TARN_GUARDED_BY(g_NetworkMutex) = ERROR_SUCCESS;
    std::uint64_t m_uProgress TARN_GUARDED_BY(g_NetworkMutex) = 0;
    std::chrono::steady_clock::time_point m_LastProgressAt TARN_GUARDED_BY(g_NetworkMutex);
    UploadBody* m_pBody TARN_GUARDED_BY(g_NetworkMutex) = nullptr;
    bool m_bFollowRedirects TARN_GUARDED_BY(g_NetworkMutex) = true;
    std::uint64_t m_uBodySent TARN_GUARDED_BY(g_NetworkMutex) = 0; // handed to libcurl
    int m_nPausedBits TARN_GUARDED_BY(g_NetworkMutex) = 0;
    ResponseHead m_Pending TARN_GUARDED_BY(g_NetworkMutex); // the head being received
    ResponseHead m_Head TARN_GUARDED_BY(g_NetworkMutex);    // the final head
    std::string m_Location TARN_GUARDED_BY(g_NetworkMutex);
    DWORD m_dwRedirectStatus TARN_GUARDED_BY(g_NetworkMutex) = 0;
    ReceiveWindow m_Window TARN_GUARDED_BY(g_NetworkMutex);
    CallerBuffer<const unsigned char> m_Source TARN_GUARDED_BY(g_NetworkMutex); // bytes to upload
    CallerBuffer<unsigned char> m_Target TARN_GUARDED_BY(g_NetworkMutex);       // room for received bytes
};
} // namespace inet
} // namespace tarn
