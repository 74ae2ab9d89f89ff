// Transfer figures: peak resident memory of a large GET through NW_HttpClient, and how many small
// requests per second the interaction object turns around (dispatch, worker, Poll delivery).
//
// Usage: TransferBench [get-MiB=256] [jobs=2000] [gets=1]
// With several GETs each is timed on its own, one after another in the same process; as many
// file POSTs of the same size follow, each timed whole and with the body's build apart.
// The loopback server runs in a child process, so its memory is not counted here.
#include "BenchServer.h"
#include "BenchSupport.h"
#include "NTarnInteraction.h"
#include "NW_BodyMemory.h"
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
    const int nGets = argc > 3 ? std::atoi(argv[3]) : 1;

    pid_t ServerPid = 0;
    const int nPort = StartServerProcess(&ServerPid, true);
    if (nPort == 0)
    {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    const std::string Base = "http://127.0.0.1:" + std::to_string(nPort);

    const long lBaseKb = ReadStatusKb("VmHWM");
    for (int nGet = 0; nGet < nGets; ++nGet)
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

    const std::string FilePath = "/tmp/transfer-bench-post.bin";
    {
        std::ofstream Out(FilePath, std::ios::binary);
        const std::string Block(1 << 20, 'x');
        for (unsigned long long i = 0; i < ullMiB; ++i)
            Out.write(Block.data(), static_cast<std::streamsize>(Block.size()));
    }
    pid_t SinkPid = 0;
    const int nSinkPort = StartSinkProcess(&SinkPid);
    for (int nPost = 0; nPost < nGets; ++nPost)
    {
        NW_HttpClient Client;
        Client.AddPostParam(eBinaryFile, "file", FilePath.c_str());
        auto Start = std::chrono::steady_clock::now();
        unsigned char* pbyBody = nullptr;
        DWORD dwBodySize = 0;
        const int nBuilt = Client.GetPostBuffer(&pbyBody, &dwBodySize);
        const double dBuild = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        NW_BodyFree(pbyBody);
        Start = std::chrono::steady_clock::now();
        const int nOk = nBuilt && Client.RequestPost("127.0.0.1", "/upload", nSinkPort);
        const double dPost = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        std::printf("POST %llu MiB file: %s in %.2f s, of which building the body about %.2f s\n", ullMiB,
                    nOk ? "ok" : "FAILED", dPost, dBuild);
    }
    std::remove(FilePath.c_str());
    StopServerProcess(SinkPid);

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
