#include "TestSockets.h"

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>

namespace tarn
{
namespace test
{
namespace
{
#if defined(_WIN32)
// Winsock wants one WSAStartup per process before the first socket.
bool StartWinsock()
{
    static const bool s_bStarted = []
    {
        WSADATA Data;
        return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    }();
    return s_bStarted;
}

bool Retryable()
{
    const int nError = WSAGetLastError();
    return nError == WSAEWOULDBLOCK || nError == WSAEINTR;
}

int PollFor(SocketFd Fd, short nEvents, int nWaitMs, short* pnRevents)
{
    WSAPOLLFD Poll{Fd, nEvents, 0};
    const int nReady = WSAPoll(&Poll, 1, nWaitMs);
    *pnRevents = Poll.revents;
    return nReady;
}
#else
bool StartWinsock()
{
    return true;
}

bool Retryable()
{
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

int PollFor(SocketFd Fd, short nEvents, int nWaitMs, short* pnRevents)
{
    pollfd Poll{Fd, nEvents, 0};
    const int nReady = ::poll(&Poll, 1, nWaitMs);
    *pnRevents = Poll.revents;
    return nReady < 0 && errno == EINTR ? 0 : nReady;
}
#endif

Wait WaitFor(SocketFd Fd, short nEvents, int nWaitMs)
{
    short nRevents = 0;
    const int nReady = PollFor(Fd, nEvents, nWaitMs, &nRevents);
    if (nReady < 0)
        return Wait::eError;
    return nReady == 0 ? Wait::eTimeout : Wait::eReady;
}
} // namespace

SocketFd BindLoopback(int nBacklog, int* pnPort)
{
    if (!StartWinsock())
        return kNoSocket;
#if defined(_WIN32)
    const SocketFd Fd = ::socket(AF_INET, SOCK_STREAM, 0);
#else
    const SocketFd Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
    if (Fd == kNoSocket)
        return kNoSocket;
    if (nBacklog > 0)
    {
        const int nYes = 1;
        ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&nYes), sizeof(nYes));
    }
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLength = sizeof(Address);
    if (::bind(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 ||
        (nBacklog > 0 && ::listen(Fd, nBacklog) != 0) ||
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &uLength) != 0)
    {
        CloseSocket(Fd);
        return kNoSocket;
    }
    *pnPort = ntohs(Address.sin_port);
    return Fd;
}

SocketFd ConnectLoopback(int nPort)
{
    if (!StartWinsock())
        return kNoSocket;
    const SocketFd Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (Fd == kNoSocket)
        return kNoSocket;
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<unsigned short>(nPort));
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0)
    {
        CloseSocket(Fd);
        return kNoSocket;
    }
    return Fd;
}

SocketFd AcceptWithin(SocketFd Listener, int nWaitMs)
{
    if (WaitReadable(Listener, nWaitMs) != Wait::eReady)
        return kNoSocket;
#if defined(_WIN32)
    const SocketFd Fd = ::accept(Listener, nullptr, nullptr);
    if (Fd != kNoSocket)
    {
        // Sends below never block: the server's every wait is bounded by its stop flag.
        u_long uNonBlocking = 1;
        ::ioctlsocket(Fd, FIONBIO, &uNonBlocking);
    }
    return Fd;
#else
    return ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

void CloseSocket(SocketFd Fd)
{
#if defined(_WIN32)
    ::closesocket(Fd);
#else
    ::close(Fd);
#endif
}

void ResetSocket(SocketFd Fd)
{
    // A zero linger time makes the close send a reset instead of the orderly end.
    linger Linger{};
    Linger.l_onoff = 1;
    Linger.l_linger = 0;
    ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Linger), sizeof(Linger));
    CloseSocket(Fd);
}

void ShutdownSend(SocketFd Fd)
{
#if defined(_WIN32)
    ::shutdown(Fd, SD_SEND);
#else
    ::shutdown(Fd, SHUT_WR);
#endif
}

Wait WaitReadable(SocketFd Fd, int nWaitMs)
{
    return WaitFor(Fd, POLLIN, nWaitMs);
}

Wait WaitWritable(SocketFd Fd, int nWaitMs)
{
    return WaitFor(Fd, POLLOUT, nWaitMs);
}

bool PeerClosedWithin(SocketFd Fd, int nWaitMs)
{
    short nRevents = 0;
#if defined(_WIN32)
    // Winsock has no POLLRDHUP: a readable socket whose peek finds nothing has seen the end.
    if (PollFor(Fd, POLLIN, nWaitMs, &nRevents) <= 0)
        return false;
    if (nRevents & (POLLHUP | POLLERR))
        return true;
    char c;
    const int nPeeked = ::recv(Fd, &c, 1, MSG_PEEK);
    if (nPeeked > 0)
    {
        // Bytes the server leaves unread; wait out the slice rather than spin on them.
        Sleep(static_cast<DWORD>(std::max(nWaitMs, 0)));
        return false;
    }
    return nPeeked == 0 || !Retryable();
#else
    return PollFor(Fd, POLLRDHUP, nWaitMs, &nRevents) > 0 && (nRevents & (POLLRDHUP | POLLHUP | POLLERR));
#endif
}

long RecvSome(SocketFd Fd, char* pBuffer, size_t uSize)
{
#if defined(_WIN32)
    const long nRead = ::recv(Fd, pBuffer, static_cast<int>(std::min<size_t>(uSize, 1u << 30)), 0);
#else
    const long nRead = static_cast<long>(::recv(Fd, pBuffer, uSize, 0));
#endif
    if (nRead < 0)
        return Retryable() ? -2 : -1;
    return nRead;
}

long SendSome(SocketFd Fd, const char* pData, size_t uLength)
{
#if defined(_WIN32)
    const long nSent = ::send(Fd, pData, static_cast<int>(std::min<size_t>(uLength, 1u << 30)), 0);
#else
    const long nSent = static_cast<long>(::send(Fd, pData, uLength, MSG_NOSIGNAL | MSG_DONTWAIT));
#endif
    if (nSent < 0)
        return Retryable() ? -2 : -1;
    return nSent;
}

std::string HttpExchange(int nPort, const std::string& Request)
{
    const SocketFd Fd = ConnectLoopback(nPort);
    if (Fd == kNoSocket)
        return std::string();
    std::string Reply;
    size_t uSent = 0;
    while (uSent < Request.size())
    {
        const long nSent = SendSome(Fd, Request.data() + uSent, Request.size() - uSent);
        if (nSent == -2 && WaitWritable(Fd, 1000) != Wait::eError)
            continue;
        if (nSent <= 0)
            break;
        uSent += static_cast<size_t>(nSent);
    }
    if (uSent == Request.size())
    {
        char Chunk[65536];
        for (;;)
        {
            const long nRead = RecvSome(Fd, Chunk, sizeof(Chunk));
            if (nRead == -2 && WaitReadable(Fd, 1000) != Wait::eError)
                continue;
            if (nRead <= 0)
                break;
            Reply.append(Chunk, static_cast<size_t>(nRead));
        }
    }
    CloseSocket(Fd);
    return Reply;
}
} // namespace test
} // namespace tarn
