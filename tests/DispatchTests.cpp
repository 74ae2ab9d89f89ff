// Background jobs end to end: Send, Request, the worker and Poll, against a loopback server.
#include "DeliveryLog.h"
#include "LogCapture.h"
#include "EngineCore/NThreadTestHook.h"
#include "NTarnInteraction.h"
#include "NW_HttpClient.h"
#include "Posix.h"
#include "ScriptedServer.h"
#include "LoopbackServerTest.h"
#if !defined(_WIN32)
#include "ForkChild.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const char kBoundaryClose[] = "--" NW_POST_BOUNDARY "--\r\n";

class DispatchTest : public LoopbackServerTest
{
protected:
    void SetUp() override
    {
        DeliveryLog::Clear();
        DeliveryLog::AfterEach() = nullptr;
        m_pInteraction = static_cast<NTarnInteraction*>(CreateTarnInteraction());
        ASSERT_NE(nullptr, m_pInteraction);
    }
    void TearDown() override
    {
        DeliveryLog::AfterEach() = nullptr;
        while (g_pInteraction != nullptr)
            g_pInteraction->Release();
    }

    // A GET through the interface: the base URL as the address, the path as the object.
    int Get(const std::string& Tag, const std::string& Path)
    {
        return m_pInteraction->Request(Tag.c_str(), s_pServer->BaseUrl().c_str(), Path.c_str(), "", 0,
                                       &DeliveryLog::OnRequest);
    }

    bool PollDeliveries(size_t uCount)
    {
        return PollUntil(m_pInteraction, [uCount] { return DeliveryLog::Items().size() >= uCount; });
    }

    NTarnInteraction* m_pInteraction = nullptr;
};

std::string WriteTempFile(const std::string& Name, const std::string& Bytes)
{
    const std::string Path = testing::TempDir() + Name;
    std::ofstream(Path, std::ios::binary) << Bytes;
    return Path;
}
} // namespace

TEST_F(DispatchTest, GetDeliversBodyTerminatedByNul)
{
    ASSERT_EQ(1, Get("small", "/bytes/70000"));
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    ASSERT_TRUE(PollDeliveries(1));
    const Delivery& Item = DeliveryLog::Items()[0];
    EXPECT_EQ("small", Item.Tag);
    EXPECT_EQ(1, Item.bResult);
    EXPECT_TRUE(Item.bFromRequest);
    EXPECT_EQ(tarn::PatternBytes(70000), Item.Data);
    EXPECT_TRUE(Item.bTerminated);
    EXPECT_EQ(0, m_pInteraction->GetRunningCount());
}

TEST_F(DispatchTest, EmptyBodyGivesResultOneSizeZeroAndNulByte)
{
    ASSERT_EQ(1, Get("empty", "/bytes/0"));
    ASSERT_TRUE(PollDeliveries(1));
    const Delivery& Item = DeliveryLog::Items()[0];
    EXPECT_EQ(1, Item.bResult);
    EXPECT_FALSE(Item.bNullData);
    EXPECT_EQ(0u, Item.Data.size());
    EXPECT_TRUE(Item.bTerminated);
}

TEST_F(DispatchTest, FailedRequestDeliversNullDataAndLogsReason)
{
    LogCapture Capture;
    ASSERT_EQ(1, Get("missing", "/status/404"));
    ASSERT_EQ(1, m_pInteraction->Send("sent", s_pServer->BaseUrl().c_str(), "/status/500", "", 0,
                                      &DeliveryLog::OnSend));
    ASSERT_TRUE(PollDeliveries(2));
    for (const Delivery& Item : DeliveryLog::Items())
    {
        EXPECT_EQ(0, Item.bResult) << Item.Tag;
        EXPECT_TRUE(Item.bNullData) << Item.Tag;
    }
    const std::vector<std::string> Lines = Capture.LinesWithoutNumbers();
    const std::string Url = s_pServer->BaseUrl() + "/status/404";
    EXPECT_NE(Lines.end(), std::find(Lines.begin(), Lines.end(), "Response status code : 404\n"));
    EXPECT_NE(Lines.end(), std::find(Lines.begin(), Lines.end(), "Response status code : 500\n"));
    EXPECT_NE(Lines.end(),
              std::find(Lines.begin(), Lines.end(), "Failed to download `" + Url + "`, Error Code 0."));
}

TEST_F(DispatchTest, PostOfFieldsAndFilesReachesServerParserByteForByte)
{
    std::string Binary(5000, '\0');
    for (size_t i = 0; i < Binary.size(); ++i)
        Binary[i] = static_cast<char>(i * 7);
    Binary += "\r\n"; // ends like a delimiter's lead-in would
    const std::string BinaryPath = WriteTempFile("dispatch_binary.bin", Binary);
    const std::string TextPath = WriteTempFile("dispatch_text.txt", "no final newline");

    ASSERT_EQ(1, m_pInteraction->AddParam("player", "alice", 0));
    ASSERT_EQ(1, m_pInteraction->AddParam("blob", BinaryPath.c_str(), 1));
    ASSERT_EQ(1, m_pInteraction->AddParam("note", "line one\r\n", 0));
    ASSERT_EQ(1, m_pInteraction->AddParam("empty", "", 0));
    ASSERT_EQ(1, m_pInteraction->AddParam("text", TextPath.c_str(), 1));
    const size_t uFormsBefore = s_pServer->Forms().size();
    ASSERT_EQ(1, m_pInteraction->Request("post", "127.0.0.1", "/upload", "POST", s_pServer->Port(),
                                         &DeliveryLog::OnRequest));
    // The parameters went with the job.
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    ASSERT_TRUE(PollDeliveries(1));
    EXPECT_EQ(1, DeliveryLog::Items()[0].bResult);

    const std::vector<tarn::ReceivedForm> Forms = s_pServer->Forms();
    ASSERT_EQ(uFormsBefore + 1, Forms.size());
    const tarn::ReceivedForm& Form = Forms.back();
    ASSERT_TRUE(Form.bParsed);
    ASSERT_EQ(5u, Form.Parts.size());
    EXPECT_EQ("player", Form.Parts[0].Name);
    EXPECT_EQ("alice", Form.Parts[0].Content);
    EXPECT_EQ("blob", Form.Parts[1].Name);
    EXPECT_EQ(BinaryPath, Form.Parts[1].FileName);
    EXPECT_EQ("application/octet-stream", Form.Parts[1].ContentType);
    EXPECT_EQ(Binary, Form.Parts[1].Content);
    EXPECT_EQ("note", Form.Parts[2].Name);
    EXPECT_EQ("line one\r\n", Form.Parts[2].Content);
    EXPECT_EQ("empty", Form.Parts[3].Name);
    EXPECT_EQ("", Form.Parts[3].Content);
    EXPECT_EQ("no final newline", Form.Parts[4].Content);
    // The response body is the server's account of the form.
    EXPECT_EQ(tarn::DescribeForm(Form), DeliveryLog::Items()[0].Data);
}

TEST_F(DispatchTest, SendWithoutParametersPostsClosingDelimiterAlone)
{
    // A closing delimiter alone is no form a strict parser accepts, so capture the raw request.
    tarn::test::ScriptedServer Raw;
    // Only emptiness of the post flag counts: "GET" asks for a POST.
    ASSERT_EQ(1, m_pInteraction->Send("bare", "127.0.0.1", "/raw", "GET", Raw.Port(), &DeliveryLog::OnSend));
    ASSERT_TRUE(PollDeliveries(1));
    EXPECT_FALSE(DeliveryLog::Items()[0].bFromRequest);
    EXPECT_EQ(1, DeliveryLog::Items()[0].bResult);
    const std::vector<tarn::test::CapturedRequest> Requests = Raw.Requests();
    ASSERT_EQ(1u, Requests.size());
    EXPECT_EQ("POST /raw HTTP/1.0", Requests[0].RequestLine);
    EXPECT_EQ(std::string(kBoundaryClose), Requests[0].Body);
    EXPECT_EQ(45u, Requests[0].Body.size());
}

TEST_F(DispatchTest, AddressIsCutTo511Characters)
{
    // The address carries the scheme, host and the front of the path; only its first 511
    // characters are kept, then the object is joined on.
    std::string Address = s_pServer->BaseUrl() + "/echo/";
    Address += std::string(600 - Address.size(), 'a');
    ASSERT_EQ(600u, Address.size());
    ASSERT_EQ(1, m_pInteraction->Request("long", Address.c_str(), "?end", "", 0, &DeliveryLog::OnRequest));
    ASSERT_TRUE(PollDeliveries(1));
    ASSERT_EQ(1, DeliveryLog::Items()[0].bResult);
    const std::string Expected =
        Address.substr(s_pServer->BaseUrl().size(), 511 - s_pServer->BaseUrl().size());
    EXPECT_EQ(Expected + "?end", DeliveryLog::Items()[0].Data);
}

TEST_F(DispatchTest, LongTagIsCutTo255Characters)
{
    const std::string Tag(300, 't');
    ASSERT_EQ(1, Get(Tag, "/bytes/1"));
    ASSERT_TRUE(PollDeliveries(1));
    EXPECT_EQ(Tag.substr(0, 255), DeliveryLog::Items()[0].Tag);
}

TEST_F(DispatchTest, JobsFinishedTogetherAreDeliveredOnePerPollInDispatchOrder)
{
    ASSERT_EQ(1, Get("first", "/bytes/10"));
    ASSERT_EQ(1, Get("second", "/bytes/20"));
    ASSERT_EQ(1, Get("third", "/bytes/30"));
    ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() == 3; }));

    const char* rgcszExpected[] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i)
    {
        m_pInteraction->Poll();
        ASSERT_EQ(static_cast<size_t>(i + 1), DeliveryLog::Items().size());
        EXPECT_EQ(rgcszExpected[i], DeliveryLog::Items()[i].Tag);
        EXPECT_EQ(static_cast<size_t>(10 * (i + 1)), DeliveryLog::Items()[i].Data.size());
    }
    m_pInteraction->Poll(); // nothing left: harmless
    EXPECT_EQ(3u, DeliveryLog::Items().size());
}

TEST_F(DispatchTest, QuickJobOvertakesOlderSlowOne)
{
    ASSERT_EQ(1, Get("slow", "/delay/1500"));
    ASSERT_EQ(1, Get("quick", "/bytes/5"));
    ASSERT_TRUE(PollDeliveries(2));
    EXPECT_EQ("quick", DeliveryLog::Items()[0].Tag);
    EXPECT_EQ("slow", DeliveryLog::Items()[1].Tag);
    EXPECT_EQ("delayed", DeliveryLog::Items()[1].Data);
}

TEST_F(DispatchTest, NullCallbacksStillRemoveOneJobPerPoll)
{
    ASSERT_EQ(1, m_pInteraction->Request("a", s_pServer->BaseUrl().c_str(), "/bytes/1", "", 0, nullptr));
    ASSERT_EQ(1, m_pInteraction->Send("b", s_pServer->BaseUrl().c_str(), "/bytes/1", "", 0, nullptr));
    ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() == 2; }));
    m_pInteraction->Poll();
    EXPECT_EQ(1, m_pInteraction->GetRunningCount());
    m_pInteraction->Poll();
    EXPECT_EQ(0, m_pInteraction->GetRunningCount());
    EXPECT_TRUE(DeliveryLog::Items().empty());
}

TEST_F(DispatchTest, PollWithNothingFinishedDoesNothing)
{
    m_pInteraction->Poll(); // empty list
    ASSERT_EQ(1, Get("slow", "/delay/300"));
    m_pInteraction->Poll(); // running, not finished
    EXPECT_EQ(1, m_pInteraction->GetRunningCount());
    EXPECT_TRUE(DeliveryLog::Items().empty());
    ASSERT_TRUE(PollDeliveries(1));
}

TEST_F(DispatchTest, NullTextsAreRefusedBeforeAnythingChanges)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("kept", "1", 0));
    LogCapture Capture;
    const std::string Url = s_pServer->BaseUrl();
    EXPECT_EQ(0, m_pInteraction->Send(nullptr, Url.c_str(), "/", "", 0, nullptr));
    EXPECT_EQ(0, m_pInteraction->Send("t", nullptr, "/", "", 0, nullptr));
    EXPECT_EQ(0, m_pInteraction->Request("t", Url.c_str(), nullptr, "", 0, nullptr));
    EXPECT_EQ(0, m_pInteraction->Request("t", Url.c_str(), "/", nullptr, 0, nullptr));
    EXPECT_EQ((std::vector<std::string>{
                  "NWLOG_PROCESS_ERROR(cszTag) at line N in NTarnInteraction::Send\n",
                  "NWLOG_PROCESS_ERROR(cszAddress) at line N in NTarnInteraction::Send\n",
                  "NWLOG_PROCESS_ERROR(cszObjectName) at line N in NTarnInteraction::Request\n",
                  "NWLOG_PROCESS_ERROR(cszPostFlag) at line N in NTarnInteraction::Request\n",
              }),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(1, m_pInteraction->GetParamCount());
    EXPECT_EQ(0, m_pInteraction->GetRunningCount());
}

TEST_F(DispatchTest, NextAddParamStartsAFreshPendingJob)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("old", "1", 0));
    ASSERT_EQ(1, Get("get", "/bytes/1")); // a GET takes the parameters along and leaves them unsent
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    ASSERT_EQ(1, m_pInteraction->AddParam("new", "2", 0));
    EXPECT_EQ(1, m_pInteraction->GetParamCount());
    char* pszName = nullptr;
    char* pszValue = nullptr;
    ASSERT_EQ(1, m_pInteraction->GetParam(0, &pszName, &pszValue));
    EXPECT_STREQ("new", pszName);
    ASSERT_TRUE(PollDeliveries(1));
}

TEST_F(DispatchTest, CallbackMaySendAndPoll)
{
    const std::string Url = s_pServer->BaseUrl();
    // The first delivery starts a follow-up; the follow-up's delivery polls for the third job,
    // which is delivered before the outer Poll returns.
    DeliveryLog::AfterEach() = [this, Url](const Delivery& Item)
    {
        if (Item.Tag == "first")
            ASSERT_EQ(1, m_pInteraction->Request("follow-up", Url.c_str(), "/bytes/3", "", 0,
                                                 &DeliveryLog::OnRequest));
        else if (Item.Tag == "follow-up")
        {
            ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() == 1; }));
            const size_t uBefore = DeliveryLog::Items().size();
            m_pInteraction->Poll();
            EXPECT_EQ(uBefore + 1, DeliveryLog::Items().size());
        }
    };
    ASSERT_EQ(1, Get("first", "/bytes/1"));
    ASSERT_TRUE(PollDeliveries(1));
    // The third starts once the follow-up has finished, so the follow-up is delivered first
    // whichever of the two a loaded machine would otherwise finish first.
    ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() == 1; }));
    ASSERT_EQ(1, Get("third", "/bytes/2"));
    ASSERT_TRUE(PollDeliveries(3));
    EXPECT_EQ("first", DeliveryLog::Items()[0].Tag);
    EXPECT_EQ("follow-up", DeliveryLog::Items()[1].Tag);
    EXPECT_EQ("third", DeliveryLog::Items()[2].Tag);
}

namespace
{
std::atomic<bool> g_bCalledBack{false};

// Holds a worker after its last access to the job until the callback has run, 5 s at most.
bool ExpectCallbackWhileWorkerHeld(ENThreadTestPoint ePoint)
{
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ePoint == ENThreadTestPoint::eFunctionReturned && !g_bCalledBack.load() &&
           std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ePoint != ENThreadTestPoint::eFunctionReturned || g_bCalledBack.load());
    return true;
}
} // namespace

// Poll calls the callback first and waits for the worker after it.
TEST_F(DispatchTest, CallbackComesBeforeTheWaitForTheWorker)
{
    g_bCalledBack.store(false);
    DeliveryLog::AfterEach() = [](const Delivery&) { g_bCalledBack.store(true); };
    NThreadSetTestHook(&ExpectCallbackWhileWorkerHeld);
    ASSERT_EQ(1, Get("held", "/bytes/1"));
    const bool bDelivered = PollDeliveries(1);
    NThreadSetTestHook(nullptr);
    EXPECT_TRUE(bDelivered);
}

TEST_F(DispatchTest, CallbackMayReleaseTheLastHolder)
{
    ASSERT_EQ(1, Get("slow", "/delay/400"));
    ASSERT_EQ(1, Get("quick", "/bytes/4"));
    DeliveryLog::AfterEach() = [](const Delivery&) { EXPECT_EQ(0, g_pInteraction->Release()); };
    ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() >= 1; }));
    m_pInteraction->Poll(); // delivers "quick"; its callback destroys the object, waiting for "slow"
    EXPECT_EQ(nullptr, g_pInteraction);
    ASSERT_EQ(1u, DeliveryLog::Items().size());
    EXPECT_EQ("quick", DeliveryLog::Items()[0].Tag);
}

TEST_F(DispatchTest, ReleaseWithJobsRunningJoinsWorkersWithoutCallbacks)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("left", "behind", 0)); // a pending job too
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(1, Get("slow" + std::to_string(i), "/delay/300?bytes=100"));
    ASSERT_EQ(1, m_pInteraction->AddParam("pending", "x", 0));
    EXPECT_EQ(0, m_pInteraction->Release());
    EXPECT_EQ(nullptr, g_pInteraction);
    EXPECT_TRUE(DeliveryLog::Items().empty());
}

#if !defined(_WIN32)
// The child of a fork inherits the object with the parent's jobs, one finished and not yet polled,
// one still running: it delivers neither, only its own; the parent delivers both, once each.
TEST_F(DispatchTest, ChildOfForkDeliversOnlyItsOwnRequests)
{
    TARN_SKIP_THREADED_FORK_UNDER_SANITIZERS();
    ASSERT_EQ(1, Get("finished", "/bytes/10"));
    ASSERT_EQ(1, Get("running", "/delay/1500"));
    ASSERT_TRUE(WaitUntil([this] { return m_pInteraction->GetFinishedCount() == 1; }));

    const int nChild = tarn::test::RunInChild(
        [this]
        {
            if (Get("child", "/bytes/10") != 1 ||
                !PollUntil(
                    m_pInteraction, [] { return DeliveryLog::Items().size() >= 1; }, std::chrono::seconds(5)))
                return 2;
            PollUntil(
                m_pInteraction, [] { return false; },
                std::chrono::milliseconds(2000)); // the parent's would come now
            const bool bOnlyOwn = DeliveryLog::Items().size() == 1 && DeliveryLog::Items()[0].Tag == "child";
            return m_pInteraction->Release() == 0 && bOnlyOwn ? 0 : 1;
        },
        20000);
    EXPECT_EQ(0, nChild) << "1: the child delivered a parent's request; 2: not its own; -1: it hung";
    ASSERT_TRUE(PollDeliveries(2));
    PollUntil(
        m_pInteraction, [] { return false; }, std::chrono::milliseconds(200));
    ASSERT_EQ(2u, DeliveryLog::Items().size());
    EXPECT_EQ("finished", DeliveryLog::Items()[0].Tag);
    EXPECT_EQ("running", DeliveryLog::Items()[1].Tag);
}
#endif

TEST_F(DispatchTest, ThousandJobsInFlightEachDeliveredOnce)
{
    const int nJobs = 1000;
    for (int i = 0; i < nJobs; ++i)
        ASSERT_EQ(1, Get(std::to_string(i), "/bytes/" + std::to_string(i % 50))) << i;
    EXPECT_EQ(nJobs, m_pInteraction->GetRunningCount());
    ASSERT_TRUE(PollUntil(
        m_pInteraction, [] { return DeliveryLog::Items().size() >= static_cast<size_t>(nJobs); },
        std::chrono::seconds(240)));
    std::vector<int> Seen(nJobs, 0);
    for (const Delivery& Item : DeliveryLog::Items())
    {
        const int n = std::stoi(Item.Tag);
        ++Seen[n];
        EXPECT_EQ(1, Item.bResult) << n;
        EXPECT_EQ(tarn::PatternBytes(static_cast<std::uint64_t>(n % 50)), Item.Data) << n;
    }
    for (int i = 0; i < nJobs; ++i)
        EXPECT_EQ(1, Seen[i]) << i;
    EXPECT_EQ(0, m_pInteraction->GetRunningCount());
}

namespace
{
// Runs in a child process: leaves too little address space for a thread's stack, then sends.
void SendWithoutRoomForWorker(NTarnInteraction* pInteraction, const std::string& Url)
{
    LogCapture Capture;
    pInteraction->AddParam("lost", "1", 0);
    // A thread needs an 8 MiB stack; 4 MiB more leaves room for everything else the call does.
    tarn::test::CapAddressSpaceAbove(4u << 20);

    const int nSent = pInteraction->Send("t", Url.c_str(), "/bytes/1", "", 0, &DeliveryLog::OnSend);
    pInteraction->Poll();
    const std::vector<std::string> Expected = {
        "NWLOG_PROCESS_ERROR(bWorkerStarted) at line N in NTarnInteraction::DispatchPendingJob\n",
        "NWLOG_PROCESS_ERROR(nRetCode) at line N in NTarnInteraction::Send\n"};
    const bool bOk = nSent == 0 && pInteraction->GetRunningCount() == 0 &&
                     pInteraction->GetParamCount() == 0 && Capture.LinesWithoutNumbers() == Expected &&
                     DeliveryLog::Items().empty();
    std::_Exit(bOk ? 0 : 1);
}
} // namespace

// No server in this one: the child process must have no other thread that could start one while
// its address space is limited.
TEST(DispatchStartTest, WorkerThatCannotStartIsReportedAndDropped)
{
    if (!tarn::test::kHavePosix)
        GTEST_SKIP() << "Windows has no address-space limit to leave a thread without room for its stack";
    if (tarn::test::kAddressSanitizer || tarn::test::kThreadSanitizer)
        GTEST_SKIP() << "a sanitizer's runtime reserves more address space than a cap leaves";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    NTarnInteraction* pInteraction = static_cast<NTarnInteraction*>(CreateTarnInteraction());
    ASSERT_NE(nullptr, pInteraction);
    EXPECT_EXIT(SendWithoutRoomForWorker(pInteraction, "http://127.0.0.1:1"), testing::ExitedWithCode(0), "");
    EXPECT_EQ(0, pInteraction->Release());
}
