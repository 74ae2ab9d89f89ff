#include "ScriptedServer.h"

#include "TestSockets.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace tarn
{
namespace test
{
namespace
{
constexpr int kPollSliceMs = 50;          // every blocking wait looks at the stop flag this often
constexpr size_t kMaxHeadBytes = 1 << 20; // a longer request head is dropped
constexpr int kDrainLimitMs = 2000;       // how long a closing connection waits for the client's end

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const std::string& Left, const std::string& Right)
{
    if (Left.size() != Right.size())
        return false;
    for (size_t i = 0; i < Left.size(); ++i)
        if (LowerAscii(Left[i]) != LowerAscii(Right[i]))
            return false;
    return true;
}

std::string Trim(const std::string& Text)
{
    const size_t uBegin = Text.find_first_not_of(" \t");
    if (uBegin == std::string::npos)
        return std::string();
    return Text.substr(uBegin, Text.find_last_not_of(" \t") - uBegin + 1);
}

const char* ReasonPhrase(int nStatus)
{
    switch (nStatus)
    {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 413:
        return "Content Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Buffered reading from a connection, every wait bounded by the stop flag.
class Connection
{
public:
    Connection(SocketFd nFd, const std::atomic<bool>& bStop) : m_nFd(nFd), m_bStop(bStop) {}

    // Reads more bytes into the buffer; false on end of stream, error or stop.
    bool Fill()
    {
        char Chunk[65536];
        for (;;)
        {
            if (m_bStop)
                return false;
            const Wait eWait = WaitReadable(m_nFd, kPollSliceMs);
            if (eWait == Wait::eError)
                return false;
            if (eWait == Wait::eTimeout)
                continue;
            const long nRead = RecvSome(m_nFd, Chunk, sizeof(Chunk));
            if (nRead == -2)
                continue;
            if (nRead <= 0)
                return false;
            if (m_uPos != 0 && m_uPos == m_Buffer.size())
            {
                m_Buffer.clear();
                m_uPos = 0;
            }
            m_Buffer.append(Chunk, static_cast<size_t>(nRead));
            return true;
        }
    }

    // The request head up to and including its blank line.
    bool ReadHead(std::string& Head)
    {
        for (;;)
        {
            const size_t uEnd = m_Buffer.find("\r\n\r\n", m_uPos);
            if (uEnd != std::string::npos)
            {
                Head = m_Buffer.substr(m_uPos, uEnd + 4 - m_uPos);
                m_uPos = uEnd + 4;
                return true;
            }
            if (m_Buffer.size() - m_uPos > kMaxHeadBytes || !Fill())
                return false;
        }
    }

    bool ReadLine(std::string& Line)
    {
        for (;;)
        {
            const size_t uEnd = m_Buffer.find("\r\n", m_uPos);
            if (uEnd != std::string::npos)
            {
                Line = m_Buffer.substr(m_uPos, uEnd - m_uPos);
                m_uPos = uEnd + 2;
                return true;
            }
            if (m_Buffer.size() - m_uPos > kMaxHeadBytes || !Fill())
                return false;
        }
    }

    // Consumes exactly uCount bytes, handing them to Sink piece by piece; false when the stream
    // ends first.
    bool ReadExact(std::uint64_t uCount, const std::function<void(const char*, size_t)>& Sink)
    {
        while (uCount != 0)
        {
            if (m_uPos == m_Buffer.size() && !Fill())
                return false;
            const size_t uTake =
                static_cast<size_t>(std::min<std::uint64_t>(uCount, m_Buffer.size() - m_uPos));
            Sink(m_Buffer.data() + m_uPos, uTake);
            m_uPos += uTake;
            uCount -= uTake;
        }
        return true;
    }

private:
    const SocketFd m_nFd;
    const std::atomic<bool>& m_bStop;
    std::string m_Buffer;
    size_t m_uPos = 0;
};

void ParseHead(const std::string& Head, CapturedRequest& Request)
{
    Request.RawHead = Head;
    size_t uPos = 0;
    bool bFirst = true;
    while (uPos < Head.size())
    {
        size_t uEnd = Head.find("\r\n", uPos);
        if (uEnd == std::string::npos)
            uEnd = Head.size();
        const std::string Line = Head.substr(uPos, uEnd - uPos);
        uPos = uEnd + 2;
        if (bFirst)
        {
            bFirst = false;
            Request.RequestLine = Line;
            const size_t uSpace1 = Line.find(' ');
            const size_t uSpace2 = Line.rfind(' ');
            if (uSpace1 != std::string::npos && uSpace2 > uSpace1)
            {
                Request.Method = Line.substr(0, uSpace1);
                Request.Target = Line.substr(uSpace1 + 1, uSpace2 - uSpace1 - 1);
                Request.Version = Line.substr(uSpace2 + 1);
            }
            continue;
        }
        if (Line.empty())
            break;
        const size_t uColon = Line.find(':');
        if (uColon == std::string::npos)
            Request.Headers.emplace_back(Line, std::string());
        else
            Request.Headers.emplace_back(Line.substr(0, uColon), Trim(Line.substr(uColon + 1)));
    }
}
} // namespace

std::string CapturedRequest::Header(const std::string& Name) const
{
    for (const auto& Header : Headers)
        if (EqualsNoCase(Header.first, Name))
            return Header.second;
    return std::string();
}

size_t CapturedRequest::HeaderCount(const std::string& Name) const
{
    return static_cast<size_t>(std::count_if(Headers.begin(), Headers.end(),
                                             [&](const std::pair<std::string, std::string>& Header)
                                             { return EqualsNoCase(Header.first, Name); }));
}

ScriptedReply ScriptedReply::Ok(std::string Body)
{
    ScriptedReply Reply;
    Reply.Body = std::move(Body);
    return Reply;
}

ScriptedReply ScriptedReply::Status(int nStatus, std::string Body)
{
    ScriptedReply Reply;
    Reply.nStatus = nStatus;
    Reply.Body = std::move(Body);
    return Reply;
}

ScriptedReply ScriptedReply::Pattern(std::uint64_t uBytes, bool bChunked)
{
    ScriptedReply Reply;
    Reply.bPatternBody = true;
    Reply.uPatternBytes = uBytes;
    Reply.bChunked = bChunked;
    return Reply;
}

ScriptedReply ScriptedReply::Redirect(int nStatus, std::string Location)
{
    ScriptedReply Reply;
    Reply.nStatus = nStatus;
    Reply.Headers.emplace_back("Location", std::move(Location));
    Reply.Body = "moved\n";
    return Reply;
}

ScriptedReply ScriptedReply::CloseBeforeReply()
{
    ScriptedReply Reply;
    Reply.eKind = Kind::CloseBeforeReply;
    return Reply;
}

ScriptedReply ScriptedReply::NeverAnswer(bool bReadBody)
{
    ScriptedReply Reply;
    Reply.eKind = Kind::NeverAnswer;
    Reply.bReadBody = bReadBody;
    return Reply;
}

ScriptedReply ScriptedReply::Raw(std::string Text)
{
    ScriptedReply Reply;
    Reply.eKind = Kind::Raw;
    Reply.RawText = std::move(Text);
    return Reply;
}

ScriptedServer::ScriptedServer()
{
    m_Default = ScriptedReply::Ok("ok");
    m_nListenFd = BindLoopback(128, &m_nPort);
    if (m_nListenFd == kNoSocket)
        return;
    m_AcceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer()
{
    Stop();
}

std::string ScriptedServer::Url(const std::string& Path) const
{
    return "http://127.0.0.1:" + std::to_string(m_nPort) + Path;
}

void ScriptedServer::Enqueue(ScriptedReply Reply)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_Queue.push_back(std::move(Reply));
}

void ScriptedServer::SetDefaultReply(ScriptedReply Reply)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_Default = std::move(Reply);
}

void ScriptedServer::SetKeepBodies(bool bKeep)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_bKeepBodies = bKeep;
}

std::vector<CapturedRequest> ScriptedServer::Requests() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_Requests;
}

size_t ScriptedServer::RequestCount() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_Requests.size();
}

size_t ScriptedServer::ConnectionCount() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_uConnections;
}

bool ScriptedServer::WaitForRequests(size_t uCount, int nTimeoutMs) const
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    return m_Changed.wait_for(Lock, std::chrono::milliseconds(nTimeoutMs),
                              [&] { return m_Requests.size() >= uCount; });
}

void ScriptedServer::Stop()
{
    m_bStop = true;
    if (m_AcceptThread.joinable())
        m_AcceptThread.join();
    if (m_nListenFd != kNoSocket)
    {
        CloseSocket(m_nListenFd);
        m_nListenFd = kNoSocket;
    }
    std::vector<std::thread> Workers;
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        Workers.swap(m_Workers);
    }
    for (std::thread& Worker : Workers)
        Worker.join();
}

int ScriptedServer::RefusedPort()
{
    // Bound but never listening, then closed: nothing answers on the port.
    int nPort = 0;
    const SocketFd nFd = BindLoopback(0, &nPort);
    if (nFd == kNoSocket)
        return 0;
    CloseSocket(nFd);
    return nPort;
}

void ScriptedServer::AcceptLoop()
{
    while (!m_bStop)
    {
        const SocketFd nFd = AcceptWithin(m_nListenFd, kPollSliceMs);
        if (nFd == kNoSocket)
            continue;
        std::lock_guard<std::mutex> Lock(m_Mutex);
        ++m_uConnections;
        m_Workers.emplace_back([this, nFd] { Serve(nFd); });
    }
}

ScriptedReply ScriptedServer::NextReply()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (m_Queue.empty())
        return m_Default;
    ScriptedReply Reply = std::move(m_Queue.front());
    m_Queue.pop_front();
    return Reply;
}

void ScriptedServer::Serve(SocketFd nFd)
{
    Connection Conn(nFd, m_bStop);
    while (ServeOne(Conn, nFd))
    {
    }
}

template <typename Reader> bool ScriptedServer::ServeOne(Reader& Conn, SocketFd nFd)
{
    std::string Head;
    if (!Conn.ReadHead(Head))
    {
        CloseSocket(nFd);
        return false;
    }
    CapturedRequest Request;
    ParseHead(Head, Request);
    const ScriptedReply Reply = NextReply();
    bool bKeep;
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        bKeep = m_bKeepBodies;
    }

    if (Reply.bContinueFirst)
    {
        static const char s_szContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        SendAll(nFd, s_szContinue, sizeof(s_szContinue) - 1);
    }

    // The request body.
    const auto Sink = [&](const char* pData, size_t uLength)
    {
        if (bKeep)
            Request.Body.append(pData, uLength);
        Request.uBodySize += uLength;
        Request.uBodyHash = Fnv1a64(pData, uLength, Request.uBodyHash);
    };
    Request.uBodyHash = kFnvOffset;
    const std::string Length = Request.Header("Content-Length");
    const bool bChunked = Request.Header("Transfer-Encoding").find("chunked") != std::string::npos;
    if (!Reply.bReadBody)
        Request.bBodyComplete = Length.empty() && !bChunked;
    else if (bChunked)
    {
        Request.bBodyComplete = false;
        std::string Line;
        while (Conn.ReadLine(Line))
        {
            const std::uint64_t uSize = std::strtoull(Line.c_str(), nullptr, 16);
            if (uSize == 0)
            {
                while (Conn.ReadLine(Line) && !Line.empty())
                {
                }
                Request.bBodyComplete = true;
                break;
            }
            if (!Conn.ReadExact(uSize, Sink) || !Conn.ReadLine(Line))
                break;
        }
    }
    else if (!Length.empty())
    {
        const std::uint64_t uLength = std::strtoull(Length.c_str(), nullptr, 10);
        if (Reply.nReadBodyLimit >= 0 && static_cast<std::uint64_t>(Reply.nReadBodyLimit) < uLength)
        {
            // Take a first piece of the upload, then end the connection without a word.
            Conn.ReadExact(static_cast<std::uint64_t>(Reply.nReadBodyLimit), Sink);
            Request.bBodyComplete = false;
            {
                std::lock_guard<std::mutex> Lock(m_Mutex);
                m_Requests.push_back(std::move(Request));
            }
            m_Changed.notify_all();
            // Closed with the rest of the upload unread, as a server that gives up on it does.
            if (Reply.bReset)
                ResetSocket(nFd);
            else
                CloseSocket(nFd);
            return false;
        }
        Request.bBodyComplete = Conn.ReadExact(uLength, Sink);
    }

    const bool bHead = Request.Method == "HEAD";
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        m_Requests.push_back(std::move(Request));
    }
    m_Changed.notify_all();

    bool bAllSent = false;
    switch (Reply.eKind)
    {
    case ScriptedReply::Kind::Respond:
    {
        ScriptedReply Shaped = Reply;
        if (bHead)
        {
            // A HEAD answer announces the body but does not carry it.
            Shaped.Headers.emplace_back(
                "Content-Length",
                std::to_string(Reply.bPatternBody ? Reply.uPatternBytes : Reply.Body.size()));
            Shaped.bNoLength = true;
            Shaped.bPatternBody = false;
            Shaped.Body.clear();
        }
        bAllSent = Respond(nFd, Shaped);
        break;
    }
    case ScriptedReply::Kind::CloseBeforeReply:
        EndEarly(nFd, Reply);
        return false;
    case ScriptedReply::Kind::NeverAnswer:
        bAllSent = true;
        break;
    case ScriptedReply::Kind::Raw:
        bAllSent = SendAll(nFd, Reply.RawText.data(), Reply.RawText.size());
        break;
    }
    if (Reply.eKind == ScriptedReply::Kind::NeverAnswer || (bAllSent && Reply.bSilentAfter))
    {
        // Silent until the client goes away (or the server stops); the client's bytes stay unread.
        while (!m_bStop && !PeerClosedWithin(nFd, kPollSliceMs))
        {
        }
        CloseSocket(nFd);
        return false;
    }
    if (!bAllSent && Reply.bReset)
    {
        ResetSocket(nFd);
        return false;
    }
    if (bAllSent && Reply.bKeepAlive && !Reply.bCloseWhenIdle)
        return true;
    if (bAllSent && Reply.bCloseWhenIdle)
        SleepUnlessStopped(50); // the client has the answer and holds the connection idle
    CloseGracefully(nFd);
    return false;
}

bool ScriptedServer::Respond(SocketFd nFd, const ScriptedReply& Reply)
{
    if (Reply.nHeadDelayMs > 0 && !SleepUnlessStopped(Reply.nHeadDelayMs))
        return false;
    const std::uint64_t uTotal = Reply.bPatternBody ? Reply.uPatternBytes : Reply.Body.size();

    std::string Head = Reply.Version + " " + std::to_string(Reply.nStatus) + " " +
                       (Reply.Reason.empty() ? ReasonPhrase(Reply.nStatus) : Reply.Reason) + "\r\n";
    bool bConnectionHeader = false;
    for (const auto& Header : Reply.Headers)
    {
        Head += Header.first + ": " + Header.second + "\r\n";
        bConnectionHeader = bConnectionHeader || EqualsNoCase(Header.first, "Connection");
    }
    if (!Reply.bNoLength)
        Head += Reply.bChunked ? std::string("Transfer-Encoding: chunked\r\n")
                               : "Content-Length: " + std::to_string(uTotal) + "\r\n";
    if (!bConnectionHeader)
        Head += Reply.bKeepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    Head += "\r\n";
    if (!SendAll(nFd, Head.data(), Head.size()))
        return false;

    const size_t uPiece =
        Reply.uDripBytes != 0 ? Reply.uDripBytes : (Reply.bChunked ? Reply.uChunkSize : 65536);
    const std::uint64_t uCloseAt =
        Reply.nCloseAfterBodyBytes >= 0 ? static_cast<std::uint64_t>(Reply.nCloseAfterBodyBytes) : UINT64_MAX;
    std::uint64_t uSent = 0;
    while (uSent < uTotal)
    {
        if (uSent != 0 && Reply.uDripBytes != 0 && !SleepUnlessStopped(Reply.nDripIntervalMs))
            return false;
        const size_t uAnnounced = static_cast<size_t>(std::min<std::uint64_t>(uPiece, uTotal - uSent));
        const size_t uCount = static_cast<size_t>(std::min<std::uint64_t>(uAnnounced, uCloseAt - uSent));
        const std::string Data = Reply.bPatternBody ? PatternBytes(uCount, uSent)
                                                    : Reply.Body.substr(static_cast<size_t>(uSent), uCount);
        std::string Framed;
        if (Reply.bChunked)
        {
            char szSize[32];
            std::snprintf(szSize, sizeof(szSize), "%zx\r\n", uAnnounced);
            Framed = szSize + Data + (uCount == uAnnounced ? "\r\n" : "");
        }
        const std::string& Out = Reply.bChunked ? Framed : Data;
        if (!SendAll(nFd, Out.data(), Out.size()))
            return false;
        uSent += uCount;
        if (uSent >= uCloseAt)
            return false; // cut off in the middle of the body
    }
    if (uSent >= uCloseAt)
        return false;
    static const char s_szLast[] = "0\r\n\r\n";
    return !Reply.bChunked || SendAll(nFd, s_szLast, sizeof(s_szLast) - 1);
}

bool ScriptedServer::SendAll(SocketFd nFd, const char* pData, size_t uLength) const
{
    while (uLength != 0)
    {
        if (m_bStop)
            return false;
        const Wait eWait = WaitWritable(nFd, kPollSliceMs);
        if (eWait == Wait::eError)
            return false;
        if (eWait == Wait::eTimeout)
            continue;
        const long nSent = SendSome(nFd, pData, uLength);
        if (nSent == -2)
            continue;
        if (nSent <= 0)
            return false;
        pData += nSent;
        uLength -= static_cast<size_t>(nSent);
    }
    return true;
}

bool ScriptedServer::SleepUnlessStopped(int nMs) const
{
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!m_bStop)
    {
        const auto Now = std::chrono::steady_clock::now();
        if (Now >= Until)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            Until - Now, std::chrono::milliseconds(kPollSliceMs)));
    }
    return false;
}

void ScriptedServer::EndEarly(SocketFd nFd, const ScriptedReply& Reply) const
{
    if (Reply.bReset)
        ResetSocket(nFd);
    else
        CloseGracefully(nFd);
}

void ScriptedServer::CloseGracefully(SocketFd nFd) const
{
    // Half-close, then read until the client closes too, so that unread bytes never turn the
    // close into a reset.
    ShutdownSend(nFd);
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainLimitMs);
    char Sink[4096];
    while (!m_bStop && std::chrono::steady_clock::now() < Until)
    {
        const Wait eWait = WaitReadable(nFd, kPollSliceMs);
        if (eWait == Wait::eError)
            break;
        if (eWait == Wait::eTimeout)
            continue;
        const long nRead = RecvSome(nFd, Sink, sizeof(Sink));
        if (nRead != -2 && nRead <= 0)
            break;
    }
    CloseSocket(nFd);
}
} // namespace test
} // namespace tarn
