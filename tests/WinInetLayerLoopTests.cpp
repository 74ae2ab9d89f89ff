// The network loop under the conditions that once broke it: an exchange that ends before its owner
// is done with it, a slow name lookup beside other requests, more requests than connections, child
// processes and what an exec would keep, and a close that races a new request. Nothing is kept in
// this process: every loop thread closes its connections and ends once its last exchange ends.
#include "CurlHooks.h"
#include "ForkChild.h"
#include "WinInetLayerTestUtil.h"

#include "Win32Layer/WinFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{
using namespace wininet_test;
using Clock = std::chrono::steady_clock;

const bool g_bNothingKept = [] { return ::setenv("TARN_IDLE_CONNECTION_MS", "0", 1) == 0; }();

long long MsSince(Clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

// A GET of Url on its own session; its error, or 0 once the whole body was read.
DWORD Get(const std::string& Url, DWORD dwReceiveMs = 10000)
{
    Handle hSession = OpenSession();
    SetTimeout(hSession.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, dwReceiveMs);
    Handle hRequest = OpenUrl(hSession.get(), Url);
    if (!hRequest)
        return GetLastError();
    const ReadOutcome Outcome = ReadAll(hRequest.get());
    return Outcome.bOk ? 0 : Outcome.dwError;
}

// The write that follows a reset asks the loop to go on sending an exchange that has ended; once
// the handle is closed, nothing of that request may be left for the loop to touch.
TEST_F(WinInetTest, UploadAfterItsConnectionWasResetFailsAndLeavesNothingBehind)
{
    // One byte of body before the reset: with the head alone, the reset could come before libcurl
    // asks for the body, and the send itself would see it.
    ScriptedReply Reset = ScriptedReply::CloseBeforeReply();
    Reset.nReadBodyLimit = 1;
    Reset.bReset = true;
    m_Server.Enqueue(Reset);
    Handle hSession = OpenSession();
    Handle hConnect(InternetConnectA(hSession.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
    Handle hRequest(
        HttpOpenRequestA(hConnect.get(), "POST", "/up", "HTTP/1.0", nullptr, nullptr, kPostFlags, 0));
    INTERNET_BUFFERSA Buffers{};
    Buffers.dwStructSize = sizeof(Buffers);
    Buffers.dwBufferTotal = 1 << 20;
    const size_t uFinishedBefore = curl_hooks::FinishedTransfers();
    ASSERT_TRUE(HttpSendRequestExA(hRequest.get(), &Buffers, nullptr, HSR_INITIATE, 0)) << GetLastError();
    char Chunk[1024] = {};
    DWORD dwWritten = 0;
    InternetWriteFile(hRequest.get(), Chunk, sizeof(Chunk), &dwWritten); // may meet the reset already
    ASSERT_TRUE(curl_hooks::WaitForFinishedTransfers(uFinishedBefore + 1, 5000));

    EXPECT_FALSE(InternetWriteFile(hRequest.get(), Chunk, sizeof(Chunk), &dwWritten));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
    hRequest.reset();
    hConnect.reset();

    m_Server.Enqueue(ScriptedReply::Ok("after"));
    EXPECT_EQ(Get(m_Server.Url("/after")), 0u);
}

struct SlowLookupCase
{
    const char* pszName;
    bool bCloseIt; // the caller closes the slow request; otherwise its connect time-out ends it
};

class SlowLookupTest : public WinInetTest, public ::testing::WithParamInterface<SlowLookupCase>
{
};

// A name that takes long to resolve delays only its own request: neither its end (a time-out, or
// its handle closed) nor anything else waits for the lookup.
TEST_P(SlowLookupTest, DelaysOnlyItsOwnRequest)
{
    constexpr int kLookupMs = 2500;
    constexpr long long kBoundMs = 1000;
    curl_hooks::SetSlowLookupMs(kLookupMs);
    Handle hSession = OpenSession();
    SetTimeout(hSession.get(), INTERNET_OPTION_CONNECT_TIMEOUT, GetParam().bCloseIt ? 60000 : 300);
    Handle hConnect(InternetConnectA(hSession.get(), "name.slow.test", PortOf(m_Server), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
    HINTERNET hRequest =
        HttpOpenRequestA(hConnect.get(), "GET", "/slow", "HTTP/1.1", nullptr, nullptr, kGetFlags, 0);
    ASSERT_NE(hRequest, nullptr);

    const Clock::time_point SlowStart = Clock::now();
    std::atomic<long long> llSlowMs{-1};
    std::thread Slow(
        [&]
        {
            EXPECT_FALSE(HttpSendRequestExA(hRequest, nullptr, nullptr, HSR_INITIATE, 0));
            llSlowMs = MsSince(SlowStart);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (GetParam().bCloseIt)
        InternetCloseHandle(hRequest);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    m_Server.Enqueue(ScriptedReply::Ok("quick"));
    const Clock::time_point GetStart = Clock::now();
    EXPECT_EQ(Get(m_Server.Url("/quick")), 0u);
    const long long llGetMs = MsSince(GetStart);
    Slow.join();
    if (!GetParam().bCloseIt)
        InternetCloseHandle(hRequest);
    curl_hooks::SetSlowLookupMs(0);
    std::printf("[ figures  ] %s: the slow request returned after %lld ms, a GET beside it took %lld ms\n",
                GetParam().pszName, llSlowMs.load(), llGetMs);
    EXPECT_LT(llGetMs, kBoundMs);
    EXPECT_LT(llSlowMs.load(), kBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Ends, SlowLookupTest,
                         ::testing::Values(SlowLookupCase{"TimeOut", false}, SlowLookupCase{"Close", true}),
                         [](const ::testing::TestParamInfo<SlowLookupCase>& Info)
                         { return Info.param.pszName; });

// Beyond the connections allowed to one server, requests wait for one; their time-outs count
// from the call all the same, so that none outlives its limit.
TEST_F(WinInetTest, RequestsWaitingForAConnectionKeepTheirTimeOuts)
{
    constexpr int kRequests = 70; // more than the 64 connections to one server
    constexpr DWORD kReceiveMs = 1500;
    m_Server.SetDefaultReply(ScriptedReply::NeverAnswer());
    std::vector<std::thread> Threads;
    std::vector<long long> Elapsed(kRequests, -1);
    std::vector<DWORD> Errors(kRequests, 0);
    for (int i = 0; i < kRequests; ++i)
        Threads.emplace_back(
            [&, i]
            {
                const Clock::time_point Start = Clock::now();
                Errors[i] = Get(m_Server.Url("/silent"), kReceiveMs);
                Elapsed[i] = MsSince(Start);
            });
    for (std::thread& Thread : Threads)
        Thread.join();
    long long llLongestMs = 0;
    for (int i = 0; i < kRequests; ++i)
    {
        EXPECT_TRUE(Errors[i] == ERROR_INTERNET_TIMEOUT) << "request " << i << ": " << Errors[i];
        llLongestMs = std::max(llLongestMs, Elapsed[i]);
    }
    std::printf("[ figures  ] %d GETs to a silent server: the last ended after %lld ms\n", kRequests,
                llLongestMs);
    EXPECT_LT(llLongestMs, kReceiveMs + 1000);
}

// The child of fork() inherits none of the parent's network thread, exchanges or locks: whatever
// the parent's request was doing as it forked, the child's own request starts a thread of its own
// and completes. libcurl 7.88 holds its global-init lock, a spinlock, inside every curl_easy_init.
TEST_F(WinInetTest, ChildOfForkRunsItsOwnRequests)
{
    TARN_SKIP_THREADED_FORK_UNDER_SANITIZERS();
    struct Case
    {
        const char* pszParentIs;
        int nHoldEasyInitMs;
    };
    const Case Cases[] = {
        {"in its exchange", 0},
        {"inside libcurl's init lock", 500},
    };
    for (const Case& Row : Cases)
    {
        SCOPED_TRACE(Row.pszParentIs);
        const size_t uSeen = m_Server.RequestCount();
        ScriptedReply Slow = ScriptedReply::Ok("parent");
        Slow.nHeadDelayMs = 1500;
        m_Server.Enqueue(Slow);
        curl_hooks::HoldNextEasyInitMs(Row.nHoldEasyInitMs);
        std::thread Parent([&] { EXPECT_EQ(Get(m_Server.Url("/parent")), 0u); });
        const bool bForkPoint = Row.nHoldEasyInitMs > 0 ? curl_hooks::WaitInsideEasyInit(5000)
                                                        : m_Server.WaitForRequests(uSeen + 1, 5000);
        EXPECT_TRUE(bForkPoint);
        m_Server.Enqueue(ScriptedReply::Ok("child"));
        if (bForkPoint)
        {
            EXPECT_EQ(
                tarn::test::RunInChild([&] { return Get(m_Server.Url("/child"), 3000) == 0 ? 0 : 1; }, 10000),
                0)
                << "the child's request did not complete";
        }
        Parent.join();
    }
}

// Descriptors that an exec would keep, as text.
std::string InheritedByExec()
{
    std::string Fds;
    for (int nFd = 0; nFd < 1024; ++nFd)
    {
        const int nFlags = ::fcntl(nFd, F_GETFD);
        if (nFlags >= 0 && (nFlags & FD_CLOEXEC) == 0)
            Fds += " " + std::to_string(nFd);
    }
    return Fds;
}

// A program that a forked child execs holds none of the layer's descriptors: while a file is open
// and an exchange runs, the process has no descriptor without close-on-exec that it had not
// before (the connection, the network thread's wake-up pair, the file).
TEST_F(WinInetTest, LayersDescriptorsAreCloseOnExec)
{
    const std::string Before = InheritedByExec();
    ScriptedReply Slow = ScriptedReply::Ok("slow");
    Slow.nHeadDelayMs = 1000;
    m_Server.Enqueue(Slow);
    std::thread Request([&] { EXPECT_EQ(Get(m_Server.Url("/slow")), 0u); });
    const HANDLE hFile =
        CreateFileA("/proc/self/exe", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hFile);
    ASSERT_TRUE(m_Server.WaitForRequests(1, 5000));
    const std::string During = InheritedByExec();
    Request.join();
    CloseHandle(hFile);
    EXPECT_EQ(Before, During);
}

// With nothing kept, closing a handle waits for the network thread to close its connections,
// unless another request starts meanwhile: the close must not wait for that one to end.
TEST_F(WinInetTest, CloseDoesNotWaitForARequestThatStartsMeanwhile)
{
    constexpr int kRounds = 5;
    constexpr int kOtherMs = 800;
    curl_hooks::SetPollDelayMs(3); // widens the moment in which the loop thread is ending
    long long llLongestMs = 0;
    for (int nRound = 0; nRound < kRounds; ++nRound)
    {
        m_Server.Enqueue(ScriptedReply::Ok("first"));
        Handle hSession = OpenSession();
        Handle hFirst = OpenUrl(hSession.get(), m_Server.Url("/first"));
        ASSERT_TRUE(hFirst);
        ASSERT_TRUE(ReadAll(hFirst.get()).bOk);

        ScriptedReply Other = ScriptedReply::Ok("other");
        Other.nHeadDelayMs = kOtherMs;
        m_Server.Enqueue(Other);
        std::atomic<bool> bGo{false};
        std::thread Another(
            [&]
            {
                while (!bGo)
                {
                }
                EXPECT_EQ(Get(m_Server.Url("/other")), 0u);
            });
        bGo = true;
        const Clock::time_point Start = Clock::now();
        hFirst.reset();
        llLongestMs = std::max(llLongestMs, MsSince(Start));
        Another.join();
    }
    curl_hooks::SetPollDelayMs(0);
    std::printf("[ figures  ] the longest close took %lld ms\n", llLongestMs);
    EXPECT_LT(llLongestMs, kOtherMs / 2);
}
} // namespace
