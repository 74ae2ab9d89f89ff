// What the WinINet layer costs in resident memory: a large GET read in 8191-byte pieces and
// dropped, and a large POST written from one caller buffer, as the library makes them. The peak
// is measured from a baseline that already holds the POST's body, so each figure is the layer's
// own (plus libcurl's), not the caller's.
//
// Usage: WinInetLayerBench [MiB=256]
// The loopback servers run in child processes, so their memory is not counted here.
#include "BenchServer.h"
#include "BenchSupport.h"
#include "LibraryCalls.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
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
    pid_t GetServer = 0;
    pid_t PostServer = 0;
    const int nGetPort = StartServerProcess(&GetServer);
    const int nPostPort = StartSinkProcess(&PostServer);
    if (nGetPort == 0 || nPostPort == 0)
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

    StopServerProcess(GetServer);
    StopServerProcess(PostServer);

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
