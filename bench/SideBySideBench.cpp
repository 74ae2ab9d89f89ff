// The library and curl side by side, in one run, against the same loopback server (tarn_server's
// handlers with keep-alive, in a child process). Prints one table; ratios are the library's figure
// over curl's, so below 1 is faster or smaller.
//
// Usage: SideBySideBench [MiB=256] [jobs=1000] [only-ours|plain|tls]
// With "only-ours" it runs the library's burst and chain alone and prints their times, for a
// profiler to look at without the anchors. Without it, a second table follows over HTTPS (a local
// TLS server, certificates made at start): bursts, chains and small POSTs, with the connections and
// full handshakes that each client cost the server. "plain" stops after the first table, "tls"
// prints only the second.
// The burst comes first, while the process is cold: no worker thread exists yet.
#include "BenchServer.h"
#include "BenchSupport.h"
#include "BenchTlsServer.h"
#include "NTarnInteraction.h"
#include "NW_HttpClient.h"

#include <curl/curl.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point Start)
{
    return std::chrono::duration<double>(Clock::now() - Start).count();
}

double Percentile(std::vector<double> Values, double dShare)
{
    if (Values.empty())
        return 0; // a chain of one request times no call
    std::sort(Values.begin(), Values.end());
    return Values[static_cast<size_t>(dShare * static_cast<double>(Values.size() - 1))];
}

int OpenDescriptors()
{
    int nCount = 0;
    if (DIR* pDir = opendir("/proc/self/fd"))
    {
        while (dirent* pEntry = readdir(pDir))
            nCount += pEntry->d_name[0] != '.';
        closedir(pDir);
        --nCount; // the directory's own
    }
    return nCount;
}

// What the running transfers hold, sampled when the most descriptors were open: each transfer runs
// on a worker of its own, so busy workers count the transfers in flight.
struct Holding
{
    long lBusyThreads = 0;
    int nDescriptors = 0;
    int nRequestsListed = 0; // dispatched and not yet delivered, queued ones included
};

struct Run
{
    NTarnInteraction* pInteraction = nullptr;
    std::string Base;
    std::string Path = "/bytes/100";
    int nJobs = 0;
    int nDelivered = 0;
    int nFailed = 0;
    std::vector<double> CallMicroseconds;
};
Run g_Run;

double TimedRequest()
{
    const Clock::time_point Start = Clock::now();
    const int nOk =
        g_Run.pInteraction->Request("job", g_Run.Base.c_str(), g_Run.Path.c_str(), "", 0,
                                    [](const char*, int bResult, const unsigned char*, unsigned int)
                                    {
                                        ++g_Run.nDelivered;
                                        g_Run.nFailed += bResult ? 0 : 1;
                                    });
    const double dMicroseconds = std::chrono::duration<double, std::micro>(Clock::now() - Start).count();
    g_Run.nFailed += nOk ? 0 : 1;
    g_Run.nDelivered += nOk ? 0 : 1;
    return dMicroseconds;
}

double Burst(Holding& Held)
{
    const int nBaseFds = OpenDescriptors();
    const long lBaseThreads = ReadStatusKb("Threads");
    const Clock::time_point Start = Clock::now();
    for (int i = 0; i < g_Run.nJobs; ++i)
        g_Run.CallMicroseconds.push_back(TimedRequest());
    Clock::time_point NextSample = Start;
    while (g_Run.nDelivered < g_Run.nJobs)
    {
        // Reading /proc costs the cores more than the transfers do: once a millisecond at most.
        const Clock::time_point Now = Clock::now();
        const int nDescriptors = Now >= NextSample ? OpenDescriptors() - nBaseFds : 0;
        if (Now >= NextSample)
            NextSample = Now + std::chrono::milliseconds(1);
        if (nDescriptors > Held.nDescriptors)
        {
            Held.nDescriptors = nDescriptors;
            Held.lBusyThreads = ReadStatusKb("Threads") - lBaseThreads - 1; // less the starter
            Held.nRequestsListed =
                g_Run.pInteraction->GetRunningCount() - g_Run.pInteraction->GetFinishedCount();
        }
        g_Run.pInteraction->Poll();
        std::this_thread::yield(); // a host loop has other work; this one leaves the cores to the transfers
    }
    return SecondsSince(Start);
}

// Each request is started from the previous one's callback.
void OnChained(const char*, int bResult, const unsigned char*, unsigned int)
{
    ++g_Run.nDelivered;
    g_Run.nFailed += bResult ? 0 : 1;
    if (g_Run.nDelivered >= g_Run.nJobs)
        return;
    const Clock::time_point Start = Clock::now();
    const int nOk =
        g_Run.pInteraction->Request("job", g_Run.Base.c_str(), g_Run.Path.c_str(), "", 0, &OnChained);
    g_Run.CallMicroseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - Start).count());
    if (!nOk)
        g_Run.nDelivered = g_Run.nJobs; // ends the run, counted as failed
    g_Run.nFailed += nOk ? 0 : 1;
}

double Chain()
{
    g_Run.nDelivered = 0;
    g_Run.CallMicroseconds.clear();
    const Clock::time_point Start = Clock::now();
    g_Run.pInteraction->Request("job", g_Run.Base.c_str(), g_Run.Path.c_str(), "", 0, &OnChained);
    while (g_Run.nDelivered < g_Run.nJobs)
    {
        g_Run.pInteraction->Poll();
        std::this_thread::yield();
    }
    return SecondsSince(Start);
}

double TimedCommand(const std::string& Command)
{
    const Clock::time_point Start = Clock::now();
    const int nStatus = std::system(Command.c_str());
    const double dSeconds = SecondsSince(Start);
    if (nStatus != 0)
        std::fprintf(stderr, "failed (%d): %s\n", nStatus, Command.c_str());
    return dSeconds;
}

// curl (the program) over the same URLs in one process, nParallel at once (0: in order), with
// connection reuse. Over HTTPS it trusts the CA that CURL_CA_BUNDLE names, as the layer does.
double CurlCommand(const std::string& Base, int nJobs, int nParallel, const std::string& Path = "/bytes/100")
{
    const std::string Config = "/tmp/side-by-side-curl.cfg";
    {
        std::ofstream Out(Config);
        for (int i = 0; i < nJobs; ++i)
            Out << "url = \"" << Base << Path << "\"\noutput = \"/dev/null\"\n";
    }
    const std::string Parallel =
        nParallel > 0 ? "--parallel --parallel-max " + std::to_string(nParallel) + " " : std::string();
    const double dSeconds = TimedCommand("curl -s --fail " + Parallel + "-K " + Config);
    std::remove(Config.c_str());
    return dSeconds;
}

size_t DiscardBody(char*, size_t uSize, size_t uCount, void*)
{
    return uSize * uCount;
}

// libcurl as a host would use it without a pool: a thread and an easy handle of its own per
// request, so no connection is reused. All are started at once, then joined.
double CurlThreadPerRequest(const std::string& Base, int nJobs, const std::string& Path = "/bytes/100",
                            const char* pszCaPath = nullptr)
{
    const std::string Url = Base + Path;
    std::atomic<int> nFailed{0};
    std::vector<std::thread> Threads;
    Threads.reserve(static_cast<size_t>(nJobs));
    const Clock::time_point Start = Clock::now();
    for (int i = 0; i < nJobs; ++i)
        Threads.emplace_back(
            [&Url, &nFailed, pszCaPath]
            {
                CURL* pEasy = curl_easy_init();
                curl_easy_setopt(pEasy, CURLOPT_URL, Url.c_str());
                if (pszCaPath != nullptr)
                    curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszCaPath);
                curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &DiscardBody);
                if (curl_easy_perform(pEasy) != CURLE_OK)
                    ++nFailed;
                curl_easy_cleanup(pEasy);
            });
    for (std::thread& Worker : Threads)
        Worker.join();
    const double dSeconds = SecondsSince(Start);
    if (nFailed != 0)
        std::fprintf(stderr, "libcurl thread per request: %d failed\n", nFailed.load());
    return dSeconds;
}

struct Transfer
{
    double dSeconds = 0;
    double dPeakMiB = 0; // above the resident size before the transfer
    bool bOk = false;
};

template <typename Body> Transfer Measure(Body&& Run)
{
    Transfer Result;
    ResetPeakRss();
    const long lBaseKb = ReadStatusKb("VmRSS");
    const Clock::time_point Start = Clock::now();
    Result.bOk = Run();
    Result.dSeconds = SecondsSince(Start);
    Result.dPeakMiB = static_cast<double>(ReadStatusKb("VmHWM") - lBaseKb) / 1024;
    return Result;
}

struct GrowingBuffer
{
    char* pData = nullptr;
    size_t uSize = 0;
    size_t uRoom = 0;
};

size_t AppendToBuffer(char* pData, size_t uSize, size_t uCount, void* pvBuffer)
{
    GrowingBuffer& Buffer = *static_cast<GrowingBuffer*>(pvBuffer);
    const size_t uBytes = uSize * uCount;
    if (Buffer.uSize + uBytes > Buffer.uRoom)
    {
        const size_t uRoom = std::max(Buffer.uRoom * 2, Buffer.uSize + uBytes);
        char* pNew = static_cast<char*>(std::realloc(Buffer.pData, uRoom));
        if (pNew == nullptr)
            return 0;
        Buffer.pData = pNew;
        Buffer.uRoom = uRoom;
    }
    std::memcpy(Buffer.pData + Buffer.uSize, pData, uBytes);
    Buffer.uSize += uBytes;
    return uBytes;
}

bool CurlGet(const std::string& Url, size_t uExpected)
{
    GrowingBuffer Buffer;
    CURL* pEasy = curl_easy_init();
    curl_easy_setopt(pEasy, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &AppendToBuffer);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, &Buffer);
    const bool bOk = curl_easy_perform(pEasy) == CURLE_OK && Buffer.uSize == uExpected;
    curl_easy_cleanup(pEasy);
    std::free(Buffer.pData);
    return bOk;
}

struct StagedBody
{
    const char* pData;
    size_t uSize;
    size_t uPos;
};

size_t ReadStaged(char* pOut, size_t uSize, size_t uCount, void* pvBody)
{
    StagedBody& Body = *static_cast<StagedBody*>(pvBody);
    const size_t uBytes = std::min(uSize * uCount, Body.uSize - Body.uPos);
    std::memcpy(pOut, Body.pData + Body.uPos, uBytes);
    Body.uPos += uBytes;
    return uBytes;
}

// The file read whole into memory, then posted as one multipart file part.
bool CurlPost(const std::string& Url, const std::string& Path, size_t uSize)
{
    std::vector<char> Staged(uSize);
    std::FILE* pFile = std::fopen(Path.c_str(), "rb");
    const bool bRead = pFile != nullptr && std::fread(Staged.data(), 1, uSize, pFile) == uSize;
    if (pFile != nullptr)
        std::fclose(pFile);
    StagedBody Body{Staged.data(), uSize, 0};
    CURL* pEasy = curl_easy_init();
    curl_mime* pMime = curl_mime_init(pEasy);
    curl_mimepart* pPart = curl_mime_addpart(pMime);
    curl_mime_name(pPart, "file");
    curl_mime_filename(pPart, "body.bin");
    curl_mime_data_cb(pPart, static_cast<curl_off_t>(uSize), &ReadStaged, nullptr, nullptr, &Body);
    curl_easy_setopt(pEasy, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(pEasy, CURLOPT_MIMEPOST, pMime);
    GrowingBuffer Answer;
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &AppendToBuffer);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, &Answer);
    long lStatus = 0;
    const bool bSent = curl_easy_perform(pEasy) == CURLE_OK;
    curl_easy_getinfo(pEasy, CURLINFO_RESPONSE_CODE, &lStatus);
    curl_easy_cleanup(pEasy);
    curl_mime_free(pMime);
    std::free(Answer.pData);
    return bRead && bSent && lStatus == 200;
}

bool WritePatternFile(const std::string& Path, size_t uSize)
{
    std::ofstream Out(Path, std::ios::binary);
    std::vector<char> Block(1 << 20);
    for (size_t i = 0; i < Block.size(); ++i)
        Block[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    for (size_t uDone = 0; uDone < uSize; uDone += Block.size())
        Out.write(Block.data(), static_cast<std::streamsize>(std::min(Block.size(), uSize - uDone)));
    return static_cast<bool>(Out);
}

void Row(const char* pszMeasure, const std::string& Library, const std::string& Curl,
         const std::string& Ratio, const char* pszGoal)
{
    std::printf("| %-44s | %-18s | %-18s | %-7s | %-16s |\n", pszMeasure, Library.c_str(), Curl.c_str(),
                Ratio.c_str(), pszGoal);
}

std::string Format(const char* pszFormat, double dValue)
{
    char szText[64];
    std::snprintf(szText, sizeof(szText), pszFormat, dValue);
    return szText;
}

std::string Calls(const std::vector<double>& Micros)
{
    return Format("%.1f", Percentile(Micros, 0.5)) + " / " + Format("%.1f us", Percentile(Micros, 0.99));
}

std::string TransferText(const Transfer& Figures)
{
    return Format("%.3f s", Figures.dSeconds) + Format(", %.0f MiB", Figures.dPeakMiB) +
           (Figures.bOk ? "" : " FAIL");
}
// ---------------------------------------------------------------------------------------------
// Over HTTPS: each run gets a TLS server of its own (BenchTlsServer.h), so that no client starts
// with connections or TLS sessions of an earlier run, and the server counts what the run cost it.

constexpr int kTlsRounds = 5;
constexpr int kTlsBurst = 200;
constexpr int kTlsChain = 1000;
constexpr int kTlsPosts = 200;
const char kTlsPath[] = "/bytes/1000";
const std::string kTlsCaPath = "/tmp/side-by-side-ca.pem";
// A small form, as a host that reports a few values each time posts it.
const std::string kSmallPostBody = "event=tick&session=4f2a9c&value=12345&note=side-by-side";

// The medians of one client's runs of one scenario.
struct TlsFigures
{
    std::vector<double> Seconds;
    std::vector<double> Connections;
    std::vector<double> FullHandshakes;
    int nFailed = 0;
};

// Runs Body(Base, nPort) against a new TLS server and records its time and the server's counts.
template <typename Body> void OnFreshTlsServer(TlsFigures& Figures, Body&& RunOnce)
{
    pid_t Pid = 0;
    const TlsServerCounts* pCounts = nullptr;
    const int nPort = StartTlsServerProcess(kTlsCaPath, &Pid, &pCounts);
    if (nPort == 0)
    {
        ++Figures.nFailed;
        return;
    }
    const std::string Base = "https://127.0.0.1:" + std::to_string(nPort);
    const Clock::time_point Start = Clock::now();
    Figures.nFailed += RunOnce(Base, nPort) ? 0 : 1;
    Figures.Seconds.push_back(SecondsSince(Start));
    Figures.Connections.push_back(
        static_cast<double>(__atomic_load_n(&pCounts->lConnections, __ATOMIC_RELAXED)));
    Figures.FullHandshakes.push_back(
        static_cast<double>(__atomic_load_n(&pCounts->lFullHandshakes, __ATOMIC_RELAXED)));
    StopTlsServerProcess(Pid, pCounts);
}

bool LibraryBurst(const std::string& Base, int nJobs)
{
    g_Run.Base = Base;
    g_Run.Path = kTlsPath;
    g_Run.nJobs = nJobs;
    g_Run.nDelivered = 0;
    g_Run.nFailed = 0;
    g_Run.CallMicroseconds.clear();
    Holding Held;
    Burst(Held);
    return g_Run.nFailed == 0;
}

bool LibraryChain(const std::string& Base, int nJobs)
{
    g_Run.Base = Base;
    g_Run.Path = kTlsPath;
    g_Run.nJobs = nJobs;
    g_Run.nFailed = 0;
    Chain();
    return g_Run.nFailed == 0;
}

// The library's POSTs through the interface, one after another, each started once the previous
// one is delivered: a form of one text field that holds the small body, to the server written as
// an https address.
bool LibrarySecurePosts(const std::string& Base, int nPosts)
{
    static int s_nDelivered = 0;
    static int s_nFailed = 0;
    s_nDelivered = 0;
    s_nFailed = 0;
    for (int i = 0; i < nPosts; ++i)
    {
        const int nOk =
            g_Run.pInteraction->AddParam("event", kSmallPostBody.c_str(), 0) &&
            g_Run.pInteraction->Request("post", Base.c_str(), "/upload", "1", 0,
                                        [](const char*, int bResult, const unsigned char*, unsigned int)
                                        {
                                            ++s_nDelivered;
                                            s_nFailed += bResult ? 0 : 1;
                                        });
        if (!nOk)
            return false;
        while (s_nDelivered <= i)
        {
            g_Run.pInteraction->Poll();
            std::this_thread::yield();
        }
    }
    return s_nFailed == 0;
}

// curl posting the same bodies one after another in one process.
bool CurlPosts(const std::string& Base, int nPosts)
{
    const std::string Config = "/tmp/side-by-side-curl-posts.cfg";
    {
        std::ofstream Out(Config);
        for (int i = 0; i < nPosts; ++i)
            Out << (i == 0 ? "" : "next\n") << "url = \"" << Base << "/upload\"\ndata-binary = \""
                << kSmallPostBody << "\"\noutput = \"/dev/null\"\n";
    }
    const bool bOk = std::system(("curl -s --fail -K " + Config).c_str()) == 0;
    std::remove(Config.c_str());
    return bOk;
}

std::string Median(const std::vector<double>& Values, const char* pszFormat)
{
    return Format(pszFormat, Percentile(Values, 0.5));
}

std::string Counts(const TlsFigures& Figures)
{
    const double dMax = Figures.Connections.empty()
                            ? 0
                            : *std::max_element(Figures.Connections.begin(), Figures.Connections.end());
    return Median(Figures.Connections, "%.0f") + " / " + Median(Figures.FullHandshakes, "%.0f") +
           Format(" (max %.0f)", dMax);
}

std::string Ratio(const TlsFigures& Ours, const TlsFigures& Theirs)
{
    return Format("%.2f", Percentile(Ours.Seconds, 0.5) / Percentile(Theirs.Seconds, 0.5));
}

std::string Wall(const TlsFigures& Figures)
{
    return Median(Figures.Seconds, "%.3f s") + (Figures.nFailed != 0 ? " FAIL" : "");
}

// The HTTPS table; false when a run failed.
bool RunTls()
{
    // The layer and the curl program trust the server's CA through the same variable.
    setenv("CURL_CA_BUNDLE", kTlsCaPath.c_str(), 1);
    g_Run.pInteraction = static_cast<NTarnInteraction*>(CreateTarnInteraction());
    TlsFigures LibBurst, CurlBurst, ThreadBurst, LibChain, CurlChain, LibPosts, CurlPostFigures;
    for (int nRound = 0; nRound < kTlsRounds; ++nRound)
    {
        OnFreshTlsServer(LibBurst,
                         [](const std::string& Base, int) { return LibraryBurst(Base, kTlsBurst); });
        OnFreshTlsServer(CurlBurst, [](const std::string& Base, int)
                         { return CurlCommand(Base, kTlsBurst, 64, kTlsPath) >= 0; });
        OnFreshTlsServer(ThreadBurst,
                         [](const std::string& Base, int) {
                             return CurlThreadPerRequest(Base, kTlsBurst, kTlsPath, kTlsCaPath.c_str()) >= 0;
                         });
        OnFreshTlsServer(LibChain,
                         [](const std::string& Base, int) { return LibraryChain(Base, kTlsChain); });
        OnFreshTlsServer(CurlChain, [](const std::string& Base, int)
                         { return CurlCommand(Base, kTlsChain, 0, kTlsPath) >= 0; });
        OnFreshTlsServer(LibPosts,
                         [](const std::string& Base, int) { return LibrarySecurePosts(Base, kTlsPosts); });
        OnFreshTlsServer(CurlPostFigures,
                         [](const std::string& Base, int) { return CurlPosts(Base, kTlsPosts); });
    }
    g_Run.pInteraction->Release();
    std::remove(kTlsCaPath.c_str());

    std::printf(
        "\nOver HTTPS to a local TLS server, medians of %d runs, each on a new server; connections /\n"
        "full handshakes are the server's counts (resumed handshakes are the difference)\n",
        kTlsRounds);
    Row("Measure", "TarnInteraction", "curl / libcurl", "ratio", "goal");
    Row("--------------------------------------------", "------------------", "------------------", "-------",
        "----------------");
    Row("200 GETs of 1000 B at once vs curl -Z max 64", Wall(LibBurst), Wall(CurlBurst),
        Ratio(LibBurst, CurlBurst), "<= 1.5");
    Row("  connections / full handshakes", Counts(LibBurst), Counts(CurlBurst), "", "<= 64 conns");
    Row("200 GETs at once vs libcurl, thread per request", "", Wall(ThreadBurst),
        Ratio(LibBurst, ThreadBurst), "");
    Row("  connections / full handshakes", "", Counts(ThreadBurst), "", "");
    Row("1000 GETs one after another vs curl in order", Wall(LibChain), Wall(CurlChain),
        Ratio(LibChain, CurlChain), "<= 1.0");
    Row("  connections / full handshakes", Counts(LibChain), Counts(CurlChain), "", "");
    Row("200 small POSTs one after another vs curl", Wall(LibPosts), Wall(CurlPostFigures),
        Ratio(LibPosts, CurlPostFigures), "<= 1.2");
    Row("  connections / full handshakes", Counts(LibPosts), Counts(CurlPostFigures), "", "<= 2 conns");
    std::printf("(POSTs: the library's, through its interface to https://127.0.0.1:<port>, a form of one\n"
                "field that holds the text curl posts)\n");
    return LibBurst.nFailed + CurlBurst.nFailed + ThreadBurst.nFailed + LibChain.nFailed + CurlChain.nFailed +
               LibPosts.nFailed + CurlPostFigures.nFailed ==
           0;
}
} // namespace

int main(int argc, char** argv)
{
    const size_t uMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    g_Run.nJobs = argc > 2 ? std::atoi(argv[2]) : 1000;
    const std::string Mode = argc > 3 ? argv[3] : "";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (Mode == "tls")
        return RunTls() ? 0 : 1;

    pid_t ServerPid = 0;
    const int nPort = StartServerProcess(&ServerPid, true);
    if (nPort == 0)
    {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    g_Run.Base = "http://127.0.0.1:" + std::to_string(nPort);

    g_Run.pInteraction = static_cast<NTarnInteraction*>(CreateTarnInteraction());
    Holding Held;
    const double dBurst = Burst(Held);
    const std::vector<double> BurstCalls = g_Run.CallMicroseconds;
    const int nBurstFailed = g_Run.nFailed;
    g_Run.nFailed = 0;
    const double dChain = Chain();
    const std::vector<double> ChainCalls = g_Run.CallMicroseconds;
    const int nChainFailed = g_Run.nFailed;
    g_Run.pInteraction->Release();
    if (Mode == "only-ours")
    {
        StopServerProcess(ServerPid);
        std::printf("burst %.3f s, chain %.3f s, Request call median %.1f / %.1f us; failed %d / %d\n",
                    dBurst, dChain, Percentile(BurstCalls, 0.5), Percentile(ChainCalls, 0.5), nBurstFailed,
                    nChainFailed);
        return nBurstFailed + nChainFailed == 0 ? 0 : 1;
    }

    const double dCurlBurst = CurlCommand(g_Run.Base, g_Run.nJobs, 100);
    const double dCurlChain = CurlCommand(g_Run.Base, g_Run.nJobs, 0);
    const double dThreadBurst = CurlThreadPerRequest(g_Run.Base, g_Run.nJobs);

    const size_t uBytes = uMiB << 20;
    const std::string BigUrl = g_Run.Base + "/bytes/" + std::to_string(uBytes);
    const Transfer LibGet = Measure(
        [&]
        {
            NW_HttpClient Client;
            return Client.RequestGet(g_Run.Base.c_str(), ("/bytes/" + std::to_string(uBytes)).c_str()) == 1;
        });
    const Transfer CurlGetFigures = Measure([&] { return CurlGet(BigUrl, uBytes); });
    const double dCurlToNull = TimedCommand("curl -s --fail -o /dev/null " + BigUrl);

    // The posts go to a sink that reads bodies without parsing them, so that the server's work
    // does not hide the clients' costs.
    pid_t SinkPid = 0;
    const int nSinkPort = StartSinkProcess(&SinkPid);
    const std::string SinkUrl = "http://127.0.0.1:" + std::to_string(nSinkPort) + "/upload";
    const std::string FilePath = "/tmp/side-by-side-post.bin";
    const bool bFile = WritePatternFile(FilePath, uBytes);
    const Transfer LibPost = Measure(
        [&]
        {
            NW_HttpClient Client;
            return bFile && Client.AddPostParam(eBinaryFile, "file", FilePath.c_str()) == 1 &&
                   Client.RequestPost("127.0.0.1", "/upload", nSinkPort) == 1;
        });
    const Transfer CurlPostFigures = Measure([&] { return CurlPost(SinkUrl, FilePath, uBytes); });
    const double dCurlForm = TimedCommand("curl -s --fail -o /dev/null -F file=@" + FilePath + " " + SinkUrl);
    std::remove(FilePath.c_str());
    StopServerProcess(SinkPid);
    StopServerProcess(ServerPid);

    std::printf("%d GETs of 100 bytes and a %zu MiB GET and file POST against tarn_server (keep-alive)\n",
                g_Run.nJobs, uMiB);
    Row("Measure", "TarnInteraction", "curl / libcurl", "ratio", "goal");
    Row("--------------------------------------------", "------------------", "------------------", "-------",
        "----------------");
    Row("Request call holds the host, burst: median/p99", Calls(BurstCalls), "", "", "<=20 / <=200 us");
    Row("Request call holds the host, chained: med/p99", Calls(ChainCalls), "", "", "<=20 / <=100 us");
    Row("GETs at once vs libcurl, thread per request", Format("%.3f s", dBurst),
        Format("%.3f s", dThreadBurst), Format("%.2f", dBurst / dThreadBurst), "<= 1.0");
    Row("GETs at once vs curl --parallel-max 100", "", Format("%.3f s", dCurlBurst),
        Format("%.2f", dBurst / dCurlBurst), "<= 2.5");
    Row("GETs one after another vs curl in order", Format("%.3f s", dChain), Format("%.3f s", dCurlChain),
        Format("%.2f", dChain / dCurlChain), "<= 0.8");
    const double dBusy = static_cast<double>(std::max(Held.lBusyThreads, 1L));
    Row("Descriptors per request in flight", Format("%.2f", Held.nDescriptors / dBusy), "", "", "<= 2");
    Row("Threads per request in flight", "1 (by design)", "", "", "");
    Row("Large GET vs libcurl into a growing buffer", TransferText(LibGet), TransferText(CurlGetFigures),
        Format("%.2f", LibGet.dSeconds / CurlGetFigures.dSeconds), "<= 0.5, peak ~1x");
    Row("Large GET vs curl -o /dev/null", "", Format("%.3f s", dCurlToNull),
        Format("%.2f", LibGet.dSeconds / dCurlToNull), "<= 1.3");
    Row("Large file POST vs libcurl, body staged", TransferText(LibPost), TransferText(CurlPostFigures),
        Format("%.2f", LibPost.dSeconds / CurlPostFigures.dSeconds), "<= 0.5, peak ~1x");
    Row("Large file POST vs curl -F (streams)", "", Format("%.3f s", dCurlForm),
        Format("%.2f", LibPost.dSeconds / dCurlForm), "");
    std::printf(
        "(sampled at %ld busy workers, %d descriptors, %d requests not yet delivered; failed: burst %d, "
        "chained %d)\n",
        Held.lBusyThreads, Held.nDescriptors, Held.nRequestsListed, nBurstFailed, nChainFailed);
    const bool bPlainOk = nBurstFailed + nChainFailed == 0 && LibGet.bOk && LibPost.bOk;
    if (Mode == "plain")
        return bPlainOk ? 0 : 1;
    return RunTls() && bPlainOk ? 0 : 1;
}
