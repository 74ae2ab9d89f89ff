// The engine layer: the thread wrapper's guarantees and the log function's records.
#include "EngineCore/NThread.h"
#include "EngineCore/NWLog.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include "EngineCore/NThreadTestHook.h"

#include <sys/wait.h>
#include <unistd.h>
#endif

namespace
{
struct SlowWork
{
    std::atomic<int> nCalls{0};
    std::atomic<bool> bDone{false};
};

void RunSlowWork(void* pv)
{
    SlowWork* pWork = static_cast<SlowWork*>(pv);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pWork->nCalls.fetch_add(1);
    pWork->bDone.store(true);
}
} // namespace

TEST(NThreadTest, DestroyWaitsForRunningThreadWhichRunsOnce)
{
    SlowWork Work;
    NThread Thread;
    ASSERT_EQ(1, Thread.Create(&RunSlowWork, &Work));
    EXPECT_EQ(1, Thread.Destroy());
    EXPECT_TRUE(Work.bDone.load());
    EXPECT_EQ(1, Work.nCalls.load());
    // A second Destroy, and the destructor after it, have nothing left to wait for.
    EXPECT_EQ(0, Thread.Destroy());
}

TEST(NThreadTest, DestroyIsHarmlessOnWrapperNeverStarted)
{
    NThread Thread;
    EXPECT_EQ(0, Thread.Destroy());
    EXPECT_EQ(0, Thread.Destroy());
}

TEST(NThreadTest, CreateRefusesNullFunctionAndSecondThread)
{
    SlowWork Work;
    NThread Thread;
    EXPECT_EQ(0, Thread.Create(nullptr, &Work));
    ASSERT_EQ(1, Thread.Create(&RunSlowWork, &Work));
    EXPECT_EQ(0, Thread.Create(&RunSlowWork, &Work));
    Thread.Destroy();
    EXPECT_EQ(1, Work.nCalls.load());
    // Once destroyed, the wrapper can own a new thread.
    ASSERT_EQ(1, Thread.Create(&RunSlowWork, &Work));
}

TEST(NThreadTest, DestructorJoinsThread)
{
    SlowWork Work;
    {
        NThread Thread;
        ASSERT_EQ(1, Thread.Create(&RunSlowWork, &Work));
    }
    EXPECT_TRUE(Work.bDone.load());
}

namespace
{
struct Rendezvous
{
    int nExpected = 0;
    std::atomic<int> nArrived{0};
    std::atomic<bool> bAllMet{false};
};

// Returns once every function of the rendezvous is running, which needs a thread for each.
void MeetOthers(void* pv)
{
    Rendezvous* pMeet = static_cast<Rendezvous*>(pv);
    pMeet->nArrived.fetch_add(1);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pMeet->nArrived.load() < pMeet->nExpected && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (pMeet->nArrived.load() >= pMeet->nExpected)
        pMeet->bAllMet.store(true);
}

thread_local int t_nFunctionsRun = 0;

struct ThreadSeen
{
    int nRunBefore = 0; // functions the thread ran before this one
    bool bDone = false; // plain: Destroy must order it before the owner reads it
};

void NoteThread(void* pv)
{
    ThreadSeen* pSeen = static_cast<ThreadSeen*>(pv);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pSeen->nRunBefore = t_nFunctionsRun++;
    pSeen->bDone = true;
}
} // namespace

// A thread whose function returned takes the next one, and Destroy still waits for that one.
TEST(NThreadTest, ReusedThreadRunsNextFunctionAndDestroyWaitsForIt)
{
    int nMostRunBefore = 0;
    for (int i = 0; i < 20; ++i)
    {
        ThreadSeen Seen;
        NThread Thread;
        ASSERT_EQ(1, Thread.Create(&NoteThread, &Seen));
        EXPECT_EQ(1, Thread.Destroy());
        EXPECT_TRUE(Seen.bDone);
        nMostRunBefore = std::max(nMostRunBefore, Seen.nRunBefore);
    }
    EXPECT_GT(nMostRunBefore, 0);
}

// Reuse never makes a function wait for another to return: each gets a thread of its own, in a
// first burst, in bursts that find more idle threads than are kept (64) or fewer, and alone.
TEST(NThreadTest, EveryFunctionRunsAtOnceWhenThreadsAreBusy)
{
    for (const int nCount : {100, 150, 1, 30, 100})
    {
        Rendezvous Meet;
        Meet.nExpected = nCount;
        std::vector<NThread> Threads(static_cast<size_t>(nCount));
        for (NThread& Thread : Threads)
            ASSERT_EQ(1, Thread.Create(&MeetOthers, &Meet));
        for (NThread& Thread : Threads)
            Thread.Destroy();
        EXPECT_TRUE(Meet.bAllMet.load()) << nCount;
    }
}

#if !defined(_WIN32)
namespace
{
std::atomic<bool> g_bInSink{false};

// Holds the log's lock for a while, so that a fork falls inside it.
void SlowSink(NWLOG_PRIORITY, const char*, void*)
{
    g_bInSink.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// In the child, where a hang ends it with SIGALRM.
void RunForkedChild(NThread& ParentsThread)
{
    alarm(10);
    ParentsThread.Destroy();
    SlowWork Work;
    NThread Thread;
    const bool bRan = Thread.Create(&RunSlowWork, &Work) == 1 && Thread.Destroy() == 1 && Work.bDone;
    NWLogSetSink(nullptr, nullptr);
    _exit(bRan ? 0 : 1);
}
} // namespace

// The child has only the thread that forked: it runs functions on threads of its own, does not
// wait for a function its parent was running, and finds the log unlocked.
TEST(NThreadForkTest, ChildStartsAfreshWithoutTheParentsThreadsOrLocks)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitizer's runtime does not survive a fork of a threaded process";
#endif
    SlowWork Work;
    NThread Running;
    ASSERT_EQ(1, Running.Create(&RunSlowWork, &Work));
    NWLogSetSink(&SlowSink, nullptr);
    std::thread Logger([] { NWLogPrintf(NWLOG_DEBUG, "held"); });
    while (!g_bInSink.load())
        std::this_thread::yield();
    GTEST_FLAG_SET(death_test_style, "fast"); // a plain fork of this process
    EXPECT_EXIT(RunForkedChild(Running), testing::ExitedWithCode(0), "");
    Logger.join();
    NWLogSetSink(nullptr, nullptr);
}

namespace
{
std::atomic<int> g_nStarterStarts{0};
std::atomic<bool> g_bSecondCreated{false};

// Fails the first start of the starter once the second caller's Create returned, or after 300 ms
// if that Create waits for this start's outcome.
bool FailFirstStarterStart(ENThreadTestPoint ePoint)
{
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    if (ePoint != ENThreadTestPoint::eStartingStarter || g_nStarterStarts.fetch_add(1) != 0)
        return true;
    while (!g_bSecondCreated.load() && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return false;
}

void CreateWhileTheStarterFailsToStart()
{
    alarm(10);
    NThreadSetTestHook(&FailFirstStarterStart);
    SlowWork First, Second;
    NThread FirstThread, SecondThread;
    std::thread FirstCaller([&] { FirstThread.Create(&RunSlowWork, &First); });
    while (g_nStarterStarts.load() == 0)
        std::this_thread::yield();
    const int nCreated = SecondThread.Create(&RunSlowWork, &Second);
    g_bSecondCreated.store(true);
    FirstCaller.join();
    SecondThread.Destroy();
    _exit(nCreated == 1 && Second.bDone ? 0 : 1);
}
} // namespace

// A caller that needs the starter while another starts it must not count on that start: when it
// fails with no thread running, the second caller's function still runs.
TEST(NThreadStartTest, FunctionQueuedWhileTheStarterFailsToStartStillRuns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a new process, whose pool has no starter yet
    EXPECT_EXIT(CreateWhileTheStarterFailsToStart(), testing::ExitedWithCode(0), "");
}
#endif

#if defined(_WIN32) && !defined(_WIN64)
// A 32-bit host late in its life has no large free block left, only smaller ones: new threads still
// start there, so the functions do not wait for one another.
TEST(NThreadTest, FragmentedAddressSpaceStillRunsEveryFunctionAtOnce)
{
    constexpr SIZE_T kPiece = SIZE_T(32) << 20;
    std::vector<void*> Pieces;
    for (void* pv; (pv = VirtualAlloc(nullptr, kPiece, MEM_RESERVE, PAGE_NOACCESS)) != nullptr;)
        Pieces.push_back(pv);
    for (size_t i = 0; i < Pieces.size(); i += 2)
        VirtualFree(Pieces[i], 0, MEM_RELEASE); // holes of 32 MiB between the pieces kept
    ASSERT_GE(Pieces.size(), 4u);

    constexpr int kCount = 80; // more than the idle threads kept
    Rendezvous Meet;
    Meet.nExpected = kCount;
    {
        std::vector<NThread> Threads(kCount);
        for (NThread& Thread : Threads)
            ASSERT_EQ(1, Thread.Create(&MeetOthers, &Meet));
    }
    for (size_t i = 1; i < Pieces.size(); i += 2)
        VirtualFree(Pieces[i], 0, MEM_RELEASE);
    EXPECT_TRUE(Meet.bAllMet.load());
}
#endif

TEST(NWLogTest, SinkReceivesFormattedRecordWithPriority)
{
    LogCapture Capture;
    NWLogPrintf(NWLOG_DEBUG, "value %d and %s", 42, "text");
    ASSERT_EQ(1u, Capture.Lines().size());
    EXPECT_EQ("value 42 and text", Capture.Lines()[0]);
    EXPECT_EQ(NWLOG_DEBUG, Capture.Priorities()[0]);
    EXPECT_EQ(7, static_cast<int>(NWLOG_DEBUG));
}

TEST(NWLogTest, LongRecordIsKeptWhole)
{
    LogCapture Capture;
    const std::string Long(100000, 'x');
    NWLogPrintf(NWLOG_DEBUG, "[%s]", Long.c_str());
    ASSERT_EQ(1u, Capture.Lines().size());
    EXPECT_EQ("[" + Long + "]", Capture.Lines()[0]);
}

TEST(NWLogTest, RecordsFromManyThreadsNeverInterleave)
{
    LogCapture Capture;
    const int nThreads = 8;
    const int nPerThread = 500;
    std::vector<std::thread> Threads;
    for (int t = 0; t < nThreads; ++t)
        Threads.emplace_back(
            [t]
            {
                const std::string Body(300 + t * 37, static_cast<char>('a' + t));
                for (int i = 0; i < nPerThread; ++i)
                    NWLogPrintf(NWLOG_DEBUG, "%d:%d:%s", t, i, Body.c_str());
            });
    for (std::thread& Thread : Threads)
        Thread.join();

    const std::vector<std::string> Lines = Capture.Lines();
    ASSERT_EQ(static_cast<size_t>(nThreads * nPerThread), Lines.size());
    std::set<std::string> Seen;
    for (const std::string& Line : Lines)
    {
        const int t = Line[0] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, nThreads);
        const size_t uBody = Line.rfind(':') + 1;
        EXPECT_EQ(std::string(300 + t * 37, static_cast<char>('a' + t)), Line.substr(uBody))
            << Line.substr(0, 20);
        Seen.insert(Line.substr(0, uBody));
    }
    EXPECT_EQ(Lines.size(), Seen.size());
}

TEST(NWLogTest, DefaultSinkWritesStampedLineToStderr)
{
    testing::internal::CaptureStderr();
    NWLogPrintf(NWLOG_DEBUG, "NWLOG_PROCESS_ERROR(%s) at line %d in %s\n", "cond", 12, "A::B");
    const std::string Err = testing::internal::GetCapturedStderr();
    // "YYYY-MM-DD HH:MM:SS.mmm [thread] <7> record"
    EXPECT_NE(std::string::npos, Err.find("<7> NWLOG_PROCESS_ERROR(cond) at line 12 in A::B\n")) << Err;
    EXPECT_EQ('-', Err[4]);
    EXPECT_EQ(1, std::count(Err.begin(), Err.end(), '\n'));
}

namespace
{
// A sink that, like any code a host may install, disturbs the thread's error state.
void DisturbingSink(NWLOG_PRIORITY, const char*, void*)
{
#if defined(_WIN32)
    SetLastError(ERROR_FILE_NOT_FOUND);
#endif
    errno = ENOENT;
}
} // namespace

// Callers log a failed step and then read the error that failed it, so logging must leave the
// thread's last error (and errno) as it found them, to the default sink and to a host's sink.
TEST(NWLogTest, LoggingKeepsTheThreadsLastError)
{
    for (bool bOwnSink : {false, true})
    {
        SCOPED_TRACE(bOwnSink ? "host sink" : "default sink");
        if (bOwnSink)
            NWLogSetSink(&DisturbingSink, nullptr);
        testing::internal::CaptureStderr();
        // Nothing else may run between setting the error state and reading it back.
        errno = EINTR; // first: on Windows, errno itself lives behind calls that may set the last error
#if defined(_WIN32)
        SetLastError(12029);
#endif
        NWLogPrintf(NWLOG_DEBUG, "record %d\n", 1);
#if defined(_WIN32)
        const DWORD dwLastError = GetLastError();
        EXPECT_EQ(12029u, dwLastError);
#endif
        const int nErrno = errno;
        const std::string Err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(EINTR, nErrno);
        NWLogSetSink(nullptr, nullptr);
        EXPECT_EQ(bOwnSink, Err.empty()) << Err;
    }
}
