#pragma once

// The few socket calls the loopback test servers make, on POSIX sockets and on Winsock, so the
// same servers run in the Linux tests and in the Windows tests under Wine.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn
{
namespace test
{
#if defined(_WIN32)
// Winsock's SOCKET and INVALID_SOCKET, without pulling winsock2.h into every test.
using SocketFd = std::uintptr_t;
constexpr SocketFd kNoSocket = ~SocketFd(0);
#else
using SocketFd = int;
constexpr SocketFd kNoSocket = -1;
#endif

// A socket bound to 127.0.0.1 on a free port; listening when nBacklog > 0. kNoSocket on failure.
SocketFd BindLoopback(int nBacklog, int* pnPort);
// A blocking connection to 127.0.0.1:nPort, or kNoSocket.
SocketFd ConnectLoopback(int nPort);
// The next connection, or kNoSocket when none is waiting after nWaitMs.
SocketFd AcceptWithin(SocketFd Listener, int nWaitMs);
void CloseSocket(SocketFd Fd);
// Closes with a reset (RST) rather than the orderly end of the stream.
void ResetSocket(SocketFd Fd);
void ShutdownSend(SocketFd Fd);

enum class Wait
{
    eReady,
    eTimeout,
    eError
};
Wait WaitReadable(SocketFd Fd, int nWaitMs);
Wait WaitWritable(SocketFd Fd, int nWaitMs);
// True when the peer has closed (or reset) its side; waits at most nWaitMs, reads nothing.
bool PeerClosedWithin(SocketFd Fd, int nWaitMs);

// Bytes read (> 0), 0 at the end of the stream, -1 on an error; a call the system asks to be
// retried (interrupted, would block) reports -2.
long RecvSome(SocketFd Fd, char* pBuffer, size_t uSize);
// Bytes sent (> 0) without blocking or raising SIGPIPE, -1 on an error, -2 to retry.
long SendSome(SocketFd Fd, const char* pData, size_t uLength);

// Sends a whole HTTP request to 127.0.0.1:nPort and reads the response until the server closes;
// "" when the exchange fails. For requests that say "Connection: close" (or HTTP/1.0).
std::string HttpExchange(int nPort, const std::string& Request);
} // namespace test
} // namespace tarn
