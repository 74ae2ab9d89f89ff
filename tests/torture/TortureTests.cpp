// Allocation-failure torture of the public interface, in the spirit of libcurl's torture tests.
//
// A GET and a POST run from CreateTarnInteraction to Release while the process's allocations are
// made to fail: first a counting run learns how many allocations a request makes, then the
// request runs again for every allocation number N, once with allocation N alone failing and once
// with N and every later one failing. The library is loaded with dlopen, as hosts that load it at
// run time do. Every run must end without a crash, without an exception leaving the interface,
// with no block left allocated, with exactly one callback for a request that started (none for
// one that did not), and with either a failure or a success that carries the right bytes.
//
// The server runs in a process of its own (tarn_server), so that only the host's thread and the
// library's workers allocate here while a run is armed. Nothing in a run allocates on the host's
// side: the callback copies into a fixed buffer, and checks are made after the run.
#include "AllocFault.h"
#include "EngineCore/NWLog.h"
#include "TarnInteraction/ITarnInteraction.h"
#include "TarnServer.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace alloc = tarn::test::alloc;

namespace
{
constexpr size_t kGetBytes = 20000;    // more than the first read block, so the buffer grows
constexpr size_t kFileBytes = 3000;    // the uploaded file
constexpr size_t kMaxBody = 64 * 1024; // what the callback keeps
constexpr auto kRunLimit = std::chrono::seconds(90);

typedef ITarnInteraction* (*CreateFunction)();

// What the callback saw; written on the host's thread inside Poll.
struct Outcome
{
    int nCallbacks;
    int bResult;
    unsigned int uSize;
    unsigned char byData[kMaxBody];
};
Outcome g_Outcome;

void OnResponse(const char*, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    ++g_Outcome.nCallbacks;
    g_Outcome.bResult = bResult;
    g_Outcome.uSize = uSize;
    if (pbyData != nullptr && uSize <= kMaxBody)
        std::memcpy(g_Outcome.byData, pbyData, uSize);
}

void DropLogLine(NWLOG_PRIORITY, const char*, void*) {}

enum class Kind
{
    Get,
    Post
};

struct RunResult
{
    bool bCreated = false;
    bool bException = false;
    bool bTimedOut = false;
    int nAdded = 0; // POST: parameters AddParam took (0, 1 or both)
    bool bTextAdded = false;
    bool bFileAdded = false;
    int bStarted = 0;
    std::uint64_t uAllocations = 0;
    std::uint64_t uFailed = 0;
    std::int64_t nLeaked = 0;
    std::string LeakSites;
    const void* pvFailedSite = nullptr;
};

// "library(symbol+0x..)" of a code address, for the report of a failed run.
std::string DescribeSite(const void* pvSite)
{
    Dl_info Info{};
    if (pvSite == nullptr || dladdr(pvSite, &Info) == 0)
        return "unknown";
    char szOffset[32];
    const char* pszBase = Info.dli_saddr != nullptr ? static_cast<const char*>(Info.dli_saddr)
                                                    : static_cast<const char*>(Info.dli_fbase);
    std::snprintf(szOffset, sizeof(szOffset), "+0x%lx",
                  static_cast<unsigned long>(static_cast<const char*>(pvSite) - pszBase));
    return std::string(Info.dli_fname != nullptr ? Info.dli_fname : "?") + "(" +
           (Info.dli_sname != nullptr ? Info.dli_sname : "") + szOffset + ")";
}

class AllocTorture : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        StartServer();
        ASSERT_NE(0, s_nPort);

        // Unique per process: ctest runs the tests of this program in parallel processes.
        s_FilePath = testing::TempDir() + "tarn_torture_upload_" + std::to_string(getpid()) + ".bin";
        std::ofstream(s_FilePath, std::ios::binary) << tarn::PatternBytes(kFileBytes);

        // Kept connections would outlive a run; keeping none lets each run end with nothing held.
        setenv("TARN_IDLE_CONNECTION_MS", "0", 1);
        s_hModule = dlopen(TARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, s_hModule) << dlerror();
        s_pfnCreate = reinterpret_cast<CreateFunction>(dlsym(s_hModule, "CreateTarnInteraction"));
        ASSERT_NE(nullptr, s_pfnCreate);
        // Thousands of failed runs would flood the output; the lines are dropped.
        NWLogSetSink(&DropLogLine, nullptr);
    }

    static void TearDownTestSuite()
    {
        if (s_nServerPid > 0)
        {
            kill(s_nServerPid, SIGTERM);
            waitpid(s_nServerPid, nullptr, 0);
        }
        std::remove(s_FilePath.c_str());
    }

    // tarn_server in a child process that ends with this one, even when a run crashes it.
    static void StartServer()
    {
        int rgnPipe[2];
        ASSERT_EQ(0, pipe(rgnPipe));
        s_nServerPid = fork();
        ASSERT_GE(s_nServerPid, 0);
        if (s_nServerPid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(rgnPipe[1], STDOUT_FILENO);
            close(rgnPipe[0]);
            close(rgnPipe[1]);
            execl(TARN_SERVER_PATH, TARN_SERVER_PATH, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(rgnPipe[1]);
        // "listening on http://127.0.0.1:<port>"
        char szLine[128] = {};
        size_t uLen = 0;
        while (uLen + 1 < sizeof(szLine) && read(rgnPipe[0], szLine + uLen, 1) == 1 && szLine[uLen] != '\n')
            ++uLen;
        close(rgnPipe[0]);
        const char* pszColon = std::strrchr(szLine, ':');
        s_nPort = pszColon != nullptr ? std::atoi(pszColon + 1) : 0;
    }

    // One request from creation to release, armed as told.
    static RunResult RunOnce(Kind eKind, alloc::Mode eMode, std::uint64_t uN)
    {
        RunResult Result;
        const std::string Address = "http://127.0.0.1:" + std::to_string(s_nPort);
        const std::string Object = "/bytes/" + std::to_string(kGetBytes);
        std::memset(&g_Outcome, 0, sizeof(g_Outcome));

        alloc::Arm(eMode, uN);
        try
        {
            ITarnInteraction* pInteraction = s_pfnCreate();
            Result.bCreated = pInteraction != nullptr;
            if (pInteraction != nullptr)
            {
                if (eKind == Kind::Post)
                {
                    Result.bTextAdded = pInteraction->AddParam("player", "alice", 0) == 1;
                    Result.bFileAdded = pInteraction->AddParam("replay", s_FilePath.c_str(), 1) == 1;
                    Result.bStarted =
                        pInteraction->Request("post", "127.0.0.1", "/upload", "1", s_nPort, &OnResponse);
                }
                else
                    Result.bStarted =
                        pInteraction->Request("get", Address.c_str(), Object.c_str(), "", 0, &OnResponse);

                const auto Deadline = std::chrono::steady_clock::now() + kRunLimit;
                do
                {
                    pInteraction->Poll();
                    if (g_Outcome.nCallbacks != 0 || !Result.bStarted)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                } while (std::chrono::steady_clock::now() < Deadline);
                Result.bTimedOut = Result.bStarted && g_Outcome.nCallbacks == 0;
                // A callback that is not due must not come late either.
                pInteraction->Poll();
                pInteraction->Release();
            }
        }
        catch (...)
        {
            Result.bException = true;
        }
        Result.uFailed = alloc::Failed();
        Result.pvFailedSite = alloc::FirstFailedSite();
        Result.uAllocations = alloc::Disarm();
        CountLeaks(Result);
        return Result;
    }

    // The blocks that the run allocated and did not free. glibc keeps the stacks of ended threads
    // for reuse, each with its thread-local vector from ld.so; a run that needed one more thread
    // at a time than the runs before it leaves one more in that cache, which is not a leak.
    static void CountLeaks(RunResult& Result)
    {
        const void* rgpvSites[64] = {};
        const size_t uSites = alloc::LeakedSites(rgpvSites, 64);
        for (size_t i = 0; i < uSites; ++i)
        {
            Dl_info Info{};
            if (i < 64 && dladdr(rgpvSites[i], &Info) != 0 && Info.dli_fname != nullptr &&
                std::strstr(Info.dli_fname, "/ld-linux") != nullptr)
                continue;
            ++Result.nLeaked;
            if (i < 64)
                Result.LeakSites += " " + DescribeSite(rgpvSites[i]);
        }
    }

    static std::string ExpectedBody(Kind eKind, const RunResult& Result)
    {
        if (eKind == Kind::Get)
            return tarn::PatternBytes(kGetBytes);
        tarn::ReceivedForm Form;
        if (Result.bTextAdded)
            Form.Parts.push_back({"player", "", "", "alice"});
        if (Result.bFileAdded)
            Form.Parts.push_back({"replay", s_FilePath, "", tarn::PatternBytes(kFileBytes)});
        return tarn::DescribeForm(Form);
    }

    // Checks one run; returns a description of what went wrong, empty when it held.
    static std::string Judge(Kind eKind, const RunResult& Result)
    {
        std::string Faults;
        if (Result.bException)
            Faults += " exception crossed the interface;";
        if (Result.bTimedOut)
            Faults += " no callback within the limit;";
        if (g_Outcome.nCallbacks != (Result.bStarted ? 1 : 0))
            Faults += " " + std::to_string(g_Outcome.nCallbacks) + " callbacks for a request that " +
                      (Result.bStarted ? "started;" : "did not start;");
        if (Result.nLeaked != 0)
            Faults += " " + std::to_string(Result.nLeaked) + " blocks leaked, allocated at" +
                      Result.LeakSites + ";";
        if (g_Outcome.nCallbacks == 1 && g_Outcome.bResult == 1)
        {
            const std::string Body(reinterpret_cast<const char*>(g_Outcome.byData), g_Outcome.uSize);
            if (Body != ExpectedBody(eKind, Result))
                Faults += " success with wrong bytes (" + std::to_string(Body.size()) + ");";
        }
        if (Result.uFailed == 0 && !(Result.bStarted && g_Outcome.bResult == 1 && Result.bCreated))
            Faults += " failed although no allocation failed;";
        return Faults;
    }

    // Runs the request for every allocation number until one is past the run's last allocation.
    static void Torture(Kind eKind, alloc::Mode eMode)
    {
        // The first runs set up what lives for the whole process (libcurl's global state, the
        // handle registry, thread stacks); the counting run then finds the request's allocations.
        for (int i = 0; i < 3; ++i)
        {
            RunResult Warm = RunOnce(eKind, alloc::Mode::Count, 0);
            Warm.nLeaked = 0;
            ASSERT_EQ("", Judge(eKind, Warm));
        }
        const RunResult Counted = RunOnce(eKind, alloc::Mode::Count, 0);
        ASSERT_EQ("", Judge(eKind, Counted));
        ASSERT_GT(Counted.uAllocations, 0u);

        std::uint64_t uRuns = 0;
        std::uint64_t uFailedRuns = 0;
        std::uint64_t uN = 1;
        for (;; ++uN)
        {
            const RunResult Result = RunOnce(eKind, eMode, uN);
            ++uRuns;
            const std::string Faults = Judge(eKind, Result);
            ASSERT_EQ("", Faults) << "allocation " << uN << " of " << Result.uAllocations
                                  << ", failed first at " << DescribeSite(Result.pvFailedSite);
            if (Result.uFailed == 0)
                break; // past the last allocation: the run was clean
            uFailedRuns += g_Outcome.bResult == 1 ? 0 : 1;
        }
        std::printf("[ torture ] %s, %s: %llu allocations in a clean run, %llu runs (%llu ended in a "
                    "failure), %zu call sites counted so far\n",
                    eKind == Kind::Get ? "GET" : "POST",
                    eMode == alloc::Mode::FailOne ? "one failure" : "failing from N on",
                    static_cast<unsigned long long>(Counted.uAllocations),
                    static_cast<unsigned long long>(uRuns), static_cast<unsigned long long>(uFailedRuns),
                    alloc::CallSites());
        RecordProperty("allocations", static_cast<int>(Counted.uAllocations));
        RecordProperty("runs", static_cast<int>(uRuns));
    }

    static inline pid_t s_nServerPid = 0;
    static inline int s_nPort = 0;
    static inline std::string s_FilePath;
    static inline void* s_hModule = nullptr;
    static inline CreateFunction s_pfnCreate = nullptr;
};
} // namespace

TEST_F(AllocTorture, GetWithEachSingleAllocationFailing)
{
    Torture(Kind::Get, alloc::Mode::FailOne);
}

TEST_F(AllocTorture, GetWithEveryAllocationFailingFromEachPointOn)
{
    Torture(Kind::Get, alloc::Mode::FailFrom);
}

TEST_F(AllocTorture, PostWithEachSingleAllocationFailing)
{
    Torture(Kind::Post, alloc::Mode::FailOne);
}

TEST_F(AllocTorture, PostWithEveryAllocationFailingFromEachPointOn)
{
    Torture(Kind::Post, alloc::Mode::FailFrom);
}
