#pragma once

// ScriptedServer: a raw-socket HTTP/1.x server on 127.0.0.1 whose every answer the test scripts,
// for byte-exact captures of requests and for faults that a real server library would not
// produce on demand.
//
// It listens on a free port from construction to destruction. Each accepted connection carries
// one request (several with bKeepAlive replies): the server reads the request head and the body (per Content-Length, or chunked;
// without either there is no body), records it, then carries out the next scripted reply and
// closes the connection. Replies queued with Enqueue are used in order, one per request; when the
// queue is empty the default reply is used (200 with the body "ok" unless SetDefaultReply says
// otherwise).
//
//     ScriptedServer Server;
//     Server.Enqueue(ScriptedReply::Redirect(307, "/next"));
//     Server.Enqueue(ScriptedReply::Pattern(8192, true)); // 8192 pattern bytes, chunked
//     ... run the client against Server.Url("/first") ...
//     std::vector<CapturedRequest> Requests = Server.Requests();
//     EXPECT_EQ(Requests[0].RequestLine, "POST /first HTTP/1.0");
//     EXPECT_EQ(Requests[0].Header("Content-Length"), "12");
//
// Every wait inside the server is bounded and watches for Stop(), so the destructor (which calls
// it) always returns promptly, even with clients still connected.
#include "TarnPattern.h"
#include "TestSockets.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarn
{
namespace test
{
// One request as the server received it.
struct CapturedRequest
{
    std::string RequestLine; // e.g. "POST /upload HTTP/1.0", without the CRLF
    std::string Method;
    std::string Target; // the request target: "/path?q" or, through a proxy, "http://host/path"
    std::string Version;
    // The header lines in the order received; names as sent, values without surrounding blanks.
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string RawHead;         // request line, headers and the blank line, byte for byte
    std::string Body;            // the body bytes (chunked bodies decoded); empty with KeepBodies(false)
    std::uint64_t uBodySize = 0; // number of body bytes received
    std::uint64_t uBodyHash = 0; // tarn::Fnv1a64 of the body bytes
    bool bBodyComplete = true;   // false when the client stopped before the announced end

    // The first value of a header (names compare without regard to case); "" when absent.
    std::string Header(const std::string& Name) const;
    size_t HeaderCount(const std::string& Name) const;
    bool HasHeader(const std::string& Name) const { return HeaderCount(Name) != 0; }
};

// What the server does with one request.
struct ScriptedReply
{
    enum class Kind
    {
        Respond,          // a status line, headers and a body, shaped by the fields below
        CloseBeforeReply, // closes the connection without sending anything
        NeverAnswer,      // keeps the connection open and silent until the client leaves or Stop()
        Raw               // sends RawText as it is, then closes (garbage, odd heads, ...)
    };
    Kind eKind = Kind::Respond;

    int nStatus = 200;
    std::string Reason;               // "" gives the usual phrase for the status
    std::string Version = "HTTP/1.1"; // of the status line
    // Extra response headers, in order. Content-Length or Transfer-Encoding and "Connection: close"
    // are added by the server unless bNoLength says otherwise.
    std::vector<std::pair<std::string, std::string>> Headers;

    std::string Body;                // the body, unless bPatternBody
    bool bPatternBody = false;       // the body is uPatternBytes bytes of PatternByte(0), (1), ...
    std::uint64_t uPatternBytes = 0; // generated while sent, never held whole
    bool bChunked = false;           // Transfer-Encoding: chunked, chunks of uChunkSize
    size_t uChunkSize = 16384;
    bool bNoLength = false; // neither Content-Length nor chunked: the body ends when the server closes

    bool bContinueFirst = false; // "HTTP/1.1 100 Continue" right after the request head
    int nHeadDelayMs = 0;        // wait before sending the head
    size_t uDripBytes = 0;       // when set: send the body uDripBytes at a time ...
    int nDripIntervalMs = 0;     // ... with this pause before each piece after the first
    // Close the connection after this many body bytes (counted before chunk framing); -1: never.
    std::int64_t nCloseAfterBodyBytes = -1;

    bool bReadBody = true; // false: do not read the request body (the client's writes then stall)
    // Read at most this many bytes of the request body, then end the connection unanswered; -1: all.
    std::int64_t nReadBodyLimit = -1;
    bool bReset = false;       // end the connection with a reset wherever it is ended early
    bool bSilentAfter = false; // once the reply (or a Raw text) is out, stay silent and keep it open
    // Keep the connection for the next request once the reply is out ("Connection: keep-alive"
    // unless Headers name one; a Raw reply is sent as it is and kept too) ...
    bool bKeepAlive = false;
    bool bCloseWhenIdle = false; // ... or announce that, then close it while the client holds it idle
    std::string RawText;         // Kind::Raw: the bytes to send

    static ScriptedReply Ok(std::string Body);
    static ScriptedReply Status(int nStatus, std::string Body = std::string());
    static ScriptedReply Pattern(std::uint64_t uBytes, bool bChunked = false);
    // Pattern bytes sent uPiece at a time, with nIntervalMs before each piece after the first.
    static ScriptedReply Drip(std::uint64_t uBytes, size_t uPiece, int nIntervalMs)
    {
        ScriptedReply Reply = Pattern(uBytes);
        Reply.uDripBytes = uPiece;
        Reply.nDripIntervalMs = nIntervalMs;
        return Reply;
    }
    static ScriptedReply Redirect(int nStatus, std::string Location);
    static ScriptedReply CloseBeforeReply();
    static ScriptedReply NeverAnswer(bool bReadBody = true);
    static ScriptedReply Raw(std::string Text);
    static ScriptedReply Garbage() { return Raw("SSH-2.0-NotAnHttpServer\r\n\r\n"); }
};

class ScriptedServer
{
public:
    // Binds 127.0.0.1 on a free port and starts accepting. Port() is 0 if that failed.
    ScriptedServer();
    ~ScriptedServer();

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return m_nPort; }
    // "http://127.0.0.1:<port>" followed by Path.
    std::string Url(const std::string& Path = "/") const;

    void Enqueue(ScriptedReply Reply);
    void SetDefaultReply(ScriptedReply Reply);
    // false: bodies of requests are counted and hashed but not kept (for very large uploads).
    void SetKeepBodies(bool bKeep);

    // The requests received so far, oldest first.
    std::vector<CapturedRequest> Requests() const;
    size_t RequestCount() const;
    size_t ConnectionCount() const;
    // Waits until at least uCount requests were recorded or nTimeoutMs passed; true on success.
    bool WaitForRequests(size_t uCount, int nTimeoutMs) const;

    // Closes the listening socket and every connection and joins all threads. Idempotent.
    void Stop();

    // A port on 127.0.0.1 on which nothing listens: bound once, then closed.
    static int RefusedPort();

private:
    void AcceptLoop();
    void Serve(SocketFd nFd);
    // One request and its reply; true when the connection stays open for the next.
    template <typename Reader> bool ServeOne(Reader& Conn, SocketFd nFd);
    ScriptedReply NextReply();
    bool SendAll(SocketFd nFd, const char* pData, size_t uLength) const;
    bool SleepUnlessStopped(int nMs) const;
    bool Respond(SocketFd nFd, const ScriptedReply& Reply); // true when all of it was sent
    void CloseGracefully(SocketFd nFd) const;
    void EndEarly(SocketFd nFd, const ScriptedReply& Reply) const; // a close or, with bReset, a reset

    SocketFd m_nListenFd = kNoSocket;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_AcceptThread;

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::deque<ScriptedReply> m_Queue;
    ScriptedReply m_Default;
    bool m_bKeepBodies = true;
    std::vector<CapturedRequest> m_Requests;
    size_t m_uConnections = 0;
    std::vector<std::thread> m_Workers;
};
} // namespace test
} // namespace tarn
