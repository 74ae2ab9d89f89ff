// What the WinINet layer costs in resident memory: a large GET read in 8191-byte pieces and
// dropped, and a large POST written from one caller buffer, as the library makes them. The peak
// is measured from a baseline that already holds the POST's body, so each figure is the layer's
// own (plus libcurl's), not the caller's.
//
// Usage: WinInetLayerBench [MiB=256]
// The loopback servers run in a child process, so their memory is not counted here.
#include "BenchSupport.h"
#include "LibraryCalls.h"
#include "TarnServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
// A server that takes any POST body, drops it and answers "ok": one connection at a time.
void RunSink(int nListen)
{
    for (;;)
    {
        const int nFd = ::accept(nListen, nullptr, nullptr);
        if (nFd < 0)
            continue;
        std::string Head;
        char Buffer[65536];
        long long llBody = -1;
        long long llGot = 0;
        for (;;)
        {
            const ssize_t nRead = ::recv(nFd, Buffer, sizeof(Buffer), 0);
            if (nRead <= 0)
                break;
            if (llBody < 0)
            {
                Head.append(Buffer, static_cast<size_t>(nRead));
                const size_t uEnd = Head.find("\r\n\r\n");
                if (uEnd == std::string::npos)
                    continue;
                const size_t uLength = Head.find("Content-Length: ");
                llBody = uLength == std::string::npos ? 0 : std::atoll(Head.c_str() + uLength + 16);
                llGot = static_cast<long long>(Head.size() - (uEnd + 4));
            }
            else
                llGot += nRead;
            if (llGot >= llBody)
                break;
        }
        static const char s_szAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
        ::send(nFd, s_szAnswer, sizeof(s_szAnswer) - 1, MSG_NOSIGNAL);
        ::shutdown(nFd, SHUT_WR);
        while (::recv(nFd, Buffer, sizeof(Buffer), 0) > 0)
        {
        }
        ::close(nFd);
    }
}

// Forks a child that serves GETs (TarnServer) and takes POSTs (the sink) until killed.
bool StartServers(pid_t* pPid, int* pnGetPort, int* pnPostPort)
{
    int rgnPipe[2];
    if (::pipe(rgnPipe) != 0)
        return false;
    const pid_t Pid = ::fork();
    if (Pid == 0)
    {
        ::close(rgnPipe[0]);
        tarn::TarnServer Server;
        const int nListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t uLength = sizeof(Address);
        int rgnPorts[2] = {Server.Start(), 0};
        if (::bind(nListen, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0 &&
            ::listen(nListen, 8) == 0 &&
            ::getsockname(nListen, reinterpret_cast<sockaddr*>(&Address), &uLength) == 0)
            rgnPorts[1] = ntohs(Address.sin_port);
        if (::write(rgnPipe[1], rgnPorts, sizeof(rgnPorts)) != sizeof(rgnPorts))
            ::_exit(1);
        ::close(rgnPipe[1]);
        RunSink(nListen);
        ::_exit(0);
    }
    ::close(rgnPipe[1]);
    int rgnPorts[2] = {0, 0};
    const bool bOk = Pid > 0 && ::read(rgnPipe[0], rgnPorts, sizeof(rgnPorts)) == sizeof(rgnPorts);
    ::close(rgnPipe[0]);
    *pPid = Pid;
    *pnGetPort = rgnPorts[0];
    *pnPostPort = rgnPorts[1];
    return bOk && rgnPorts[0] != 0 && rgnPorts[1] != 0;
}

double SecondsSince(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

bool RunGet(int nPort, unsigned long long ullBytes)
{
    HINTERNET hSession = tarn::OpenLibrarySession();
    DWORD dwTimeout = 10000;
    InternetSetOptionA(hSession, INTERNET_OPTION_RECEIVE_TIMEOUT, &dwTimeout, sizeof(dwTimeout));
    const std::string Url =
        "http://127.0.0.1:" + std::to_string(nPort) + "/bytes/" + std::to_string(ullBytes);
    HINTERNET hRequest = InternetOpenUrlA(
        hSession, Url.c_str(), "Accept: */*\r\n\r\n", static_cast<DWORD>(-1),
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0);
    unsigned long long ullGot = 0;
    bool bOk = hRequest != nullptr;
    char Block[8192];
    while (bOk)
    {
        DWORD dwRead = 0;
        bOk = InternetReadFile(hRequest, Block, 8191, &dwRead) != FALSE;
        if (!bOk || dwRead == 0)
            break;
        ullGot += dwRead;
    }
    if (!bOk)
        std::fprintf(stderr, "GET failed: %u\n", GetLastError());
    if (hRequest != nullptr)
        InternetCloseHandle(hRequest);
    InternetCloseHandle(hSession);
    return bOk && ullGot == ullBytes;
}

bool RunPost(int nPort, const std::string& Body)
{
    HINTERNET hSession = tarn::OpenLibrarySession();
    const tarn::LibraryPostResult Result =
        tarn::PostLikeTheLibrary(hSession, "127.0.0.1", static_cast<INTERNET_PORT>(nPort), "/upload", Body);
    const bool bOk = Result.FailedAt.empty() && Result.dwStatus == 200;
    if (!bOk)
        std::fprintf(stderr, "POST failed at %s: %u (status %u)\n", Result.FailedAt.c_str(), Result.dwError,
                     Result.dwStatus);
    InternetCloseHandle(hSession);
    return bOk;
}
} // namespace

int main(int argc, char** argv)
{
    const unsigned long long ullMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const unsigned long long ullBytes = ullMiB << 20;
    // The sessions take the system's proxy settings, as the library's do; loopback goes direct.
    ::setenv("no_proxy", "127.0.0.1", 1);
    pid_t Child = 0;
    int nGetPort = 0;
    int nPostPort = 0;
    if (!StartServers(&Child, &nGetPort, &nPostPort))
    {
        std::fprintf(stderr, "could not start the servers\n");
        return 1;
    }

    // A small warm-up so that libcurl's and OpenSSL's one-time set-up is in the baseline.
    bool bOk = RunGet(nGetPort, 1000);

    // The POST body is the caller's: made and touched before the baseline.
    std::string Body(static_cast<size_t>(ullBytes), '\0');
    for (size_t i = 0; i < Body.size(); ++i)
        Body[i] = static_cast<char>(i * 131 + (i >> 12));

    ResetPeakRss();
    const long lGetBase = ReadStatusKb("VmRSS");
    auto Start = std::chrono::steady_clock::now();
    bOk = RunGet(nGetPort, ullBytes) && bOk;
    const double dGetSeconds = SecondsSince(Start);
    const long lGetPeak = ReadStatusKb("VmHWM");

    ResetPeakRss();
    const long lPostBase = ReadStatusKb("VmRSS");
    Start = std::chrono::steady_clock::now();
    bOk = RunPost(nPostPort, Body) && bOk;
    const double dPostSeconds = SecondsSince(Start);
    const long lPostPeak = ReadStatusKb("VmHWM");

    ::kill(Child, SIGTERM);
    ::waitpid(Child, nullptr, 0);

    std::printf("WinINet layer, %llu MiB each way (body bytes in 8191-byte reads / one write)\n", ullMiB);
    std::printf("  GET : peak RSS %ld KiB over a baseline of %ld KiB (+%ld KiB), %.2f s, %.0f MiB/s\n",
                lGetPeak, lGetBase, lGetPeak - lGetBase, dGetSeconds,
                static_cast<double>(ullMiB) / dGetSeconds);
    std::printf(
        "  POST: peak RSS %ld KiB over a baseline of %ld KiB with the body (+%ld KiB), %.2f s, %.0f MiB/s\n",
        lPostPeak, lPostBase, lPostPeak - lPostBase, dPostSeconds,
        static_cast<double>(ullMiB) / dPostSeconds);
    return bOk ? 0 : 1;
}
