// Transfer figures: peak resident memory of a large GET through NW_HttpClient, and how many small
// requests per second the interaction object turns around (dispatch, worker, Poll delivery).
//
// Usage: TransferBench [get-MiB=256] [jobs=2000]
// The loopback server runs in a child process, so its memory is not counted here.
#include "BenchServer.h"
#include "BenchSupport.h"
#include "NTarnInteraction.h"
#include "NW_HttpClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace
{
int g_nDelivered = 0;
int g_nFailed = 0;
void OnSend(const char*, int bResult)
{
    ++g_nDelivered;
    g_nFailed += bResult ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    const unsigned long long ullMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int nJobs = argc > 2 ? std::atoi(argv[2]) : 2000;

    pid_t ServerPid = 0;
    const int nPort = StartServerProcess(&ServerPid);
    if (nPort == 0)
    {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    const std::string Base = "http://127.0.0.1:" + std::to_string(nPort);

    const long lBaseKb = ReadStatusKb("VmHWM");
    {
        NW_HttpClient Client;
        const auto Start = std::chrono::steady_clock::now();
        const std::string Object = "/bytes/" + std::to_string(ullMiB << 20);
        const int nOk = Client.RequestGet(Base.c_str(), Object.c_str());
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        const long lPeakKb = ReadStatusKb("VmHWM");
        std::printf("GET %llu MiB: %s in %.2f s (%.0f MiB/s); peak RSS %.1f MiB, %.1f MiB above the process "
                    "before it; buffer length %.1f MiB\n",
                    ullMiB, nOk ? "ok" : "FAILED", dSeconds, static_cast<double>(ullMiB) / dSeconds,
                    static_cast<double>(lPeakKb) / 1024, static_cast<double>(lPeakKb - lBaseKb) / 1024,
                    static_cast<double>(Client.GetResponseBufferLength()) / (1024 * 1024));
    }

    ITarnInteraction* pInteraction = CreateTarnInteraction();
    const auto Start = std::chrono::steady_clock::now();
    for (int i = 0; i < nJobs; ++i)
        pInteraction->Send("job", Base.c_str(), "/bytes/100", "", 0, &OnSend);
    while (g_nDelivered < nJobs)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    std::printf("%d GETs of 100 bytes, all in flight at once: %.2f s, %.0f requests/s, %d failed\n", nJobs,
                dSeconds, nJobs / dSeconds, g_nFailed);

    const auto PollStart = std::chrono::steady_clock::now();
    const int nPolls = 1000000;
    for (int i = 0; i < nPolls; ++i)
        pInteraction->Poll();
    const double dPollNs =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - PollStart).count() /
        nPolls;
    std::printf("Poll with nothing running: %.1f ns per call\n", dPollNs);
    pInteraction->Release();

    StopServerProcess(ServerPid);
    return g_nFailed == 0 ? 0 : 1;
}
