// The connection cache: kept connections are reused across request and session handles and
// threads, never after an exchange that could leave stray bytes on them, and a server closing an
// idle one does not fail the next request.
#include "TarnServer.h"
#include "WinInetLayerTestUtil.h"

#include <thread>
#include <vector>

namespace wininet_test
{
namespace
{
ScriptedReply KeptOk(std::string Body)
{
    ScriptedReply Reply = ScriptedReply::Ok(std::move(Body));
    Reply.bKeepAlive = true;
    return Reply;
}

std::string GetBody(ScriptedServer& Server, const std::string& Path)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), Server.Url(Path));
    if (!Request)
        return "open failed: " + std::to_string(GetLastError());
    const ReadOutcome Outcome = ReadAll(Request.get());
    return Outcome.bOk ? Outcome.Body : "read failed: " + std::to_string(Outcome.dwError);
}
} // namespace

TEST_F(WinInetTest, KeptConnectionServesLaterRequestsFromOtherHandlesAndThreads)
{
    m_Server.SetDefaultReply(KeptOk("kept"));
    EXPECT_EQ("kept", GetBody(m_Server, "/1"));
    EXPECT_EQ("kept", GetBody(m_Server, "/2"));
    EXPECT_EQ(1u, m_Server.ConnectionCount());

    std::string OtherThread;
    std::thread(
        [&]
        {
            OtherThread = GetBody(m_Server, "/4");
            OtherThread += GetBody(m_Server, "/5");
        })
        .join();
    EXPECT_EQ("keptkept", OtherThread);
    EXPECT_EQ(1u, m_Server.ConnectionCount());

    // A small body is kept whole, so that it could go out again if the kept connection had been
    // closed: the POST takes the kept connection, and the library's HTTP/1.0 POST leaves it kept.
    Handle Session = OpenSession();
    const PostOutcome Post = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/6", "a=1");
    EXPECT_EQ("", Post.FailedAt);
    EXPECT_EQ("kept", Post.Response.Body);
    EXPECT_EQ(1u, m_Server.ConnectionCount());
    EXPECT_EQ("kept", GetBody(m_Server, "/7"));
    EXPECT_EQ(1u, m_Server.ConnectionCount());
    EXPECT_EQ(6u, m_Server.RequestCount());
}

struct SpoiltCase
{
    const char* pszName;
    ScriptedReply First;
    bool bReadAll; // false: the caller closes the request after its first read
};

void PrintTo(const SpoiltCase& Case, std::ostream* pOut)
{
    *pOut << Case.pszName;
}

class WinInetSpoiltConnectionTest : public WinInetTest, public ::testing::WithParamInterface<SpoiltCase>
{
};

// After each of these the first connection is left behind: the next answer is the server's second
// one, whole, and none of the first one's bytes.
TEST_P(WinInetSpoiltConnectionTest, IsNotReusedAndLeaksNothingIntoTheNextAnswer)
{
    m_Server.Enqueue(GetParam().First);
    m_Server.SetDefaultReply(KeptOk("second"));
    {
        Handle Session = OpenSession();
        Handle Request = OpenUrl(Session.get(), m_Server.Url("/first"));
        ASSERT_TRUE(Request) << GetLastError();
        if (GetParam().bReadAll)
            ReadAll(Request.get(), 8191, false);
        else
        {
            char szPiece[8191];
            DWORD dwRead = 0;
            EXPECT_TRUE(InternetReadFile(Request.get(), szPiece, sizeof(szPiece), &dwRead));
        }
    }
    EXPECT_EQ("second", GetBody(m_Server, "/second"));
    EXPECT_EQ(2u, m_Server.ConnectionCount());
}

ScriptedReply CutBody()
{
    ScriptedReply Reply = ScriptedReply::Pattern(4u << 20);
    Reply.bKeepAlive = true;
    return Reply;
}

ScriptedReply ExcessAfterBody()
{
    ScriptedReply Reply =
        ScriptedReply::Raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\n"
                           "okHTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged");
    Reply.bKeepAlive = true;
    return Reply;
}

ScriptedReply ServerFailsMidBody()
{
    ScriptedReply Reply = ScriptedReply::Pattern(100000);
    Reply.bKeepAlive = true;
    Reply.nCloseAfterBodyBytes = 50000;
    return Reply;
}

INSTANTIATE_TEST_SUITE_P(Failures, WinInetSpoiltConnectionTest,
                         ::testing::Values(SpoiltCase{"CallerClosesMidBody", CutBody(), false},
                                           SpoiltCase{"BytesPastTheBody", ExcessAfterBody(), true},
                                           SpoiltCase{"ServerCutsTheBody", ServerFailsMidBody(), true},
                                           SpoiltCase{"ConnectionClose", ScriptedReply::Ok("x"), true}),
                         [](const ::testing::TestParamInfo<SpoiltCase>& Info) { return Info.param.pszName; });

// A server may close a kept connection while it waits idle, or as the next request reaches it;
// either way the next request goes out again on a new connection.
TEST_F(WinInetTest, ServerClosingAKeptConnectionAsTheNextRequestArrivesDoesNotFailIt)
{
    m_Server.Enqueue(KeptOk("first"));
    m_Server.Enqueue(ScriptedReply::CloseBeforeReply());
    m_Server.SetDefaultReply(KeptOk("second"));
    EXPECT_EQ("first", GetBody(m_Server, "/first"));
    EXPECT_EQ("second", GetBody(m_Server, "/second"));
    EXPECT_EQ(2u, m_Server.ConnectionCount());
    EXPECT_EQ(3u, m_Server.RequestCount());
}

// A POST whose kept connection closes unanswered goes out again, whole, on a new one: the server
// answers it once. Whether the server had read all of the body or a part makes no difference.
TEST_F(WinInetTest, ServerClosingAKeptConnectionUnderAPostSendsItsBodyAgainOnANewOne)
{
    ScriptedReply MidBody = ScriptedReply::CloseBeforeReply();
    MidBody.nReadBodyLimit = 100;
    for (const ScriptedReply& Drop : {ScriptedReply::CloseBeforeReply(), MidBody})
    {
        SCOPED_TRACE(Drop.nReadBodyLimit < 0 ? "all of the body read" : "a part read");
        ScriptedServer Server;
        Server.Enqueue(KeptOk("first"));
        Server.Enqueue(Drop);
        Server.SetDefaultReply(KeptOk("second"));
        const std::string Body = BinaryBody(1000);
        Handle Session = OpenSession();
        EXPECT_EQ("first",
                  PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(Server), "/1", "a=1").Response.Body);
        const PostOutcome Post = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(Server), "/2", Body);
        EXPECT_EQ("", Post.FailedAt);
        EXPECT_EQ("second", Post.Response.Body);
        EXPECT_EQ(2u, Server.ConnectionCount()); // the second POST reached the kept one first
        const std::vector<CapturedRequest> Requests = Server.Requests();
        ASSERT_EQ(3u, Requests.size());
        EXPECT_EQ("/2", Requests[1].Target);
        EXPECT_EQ(Body, Requests[2].Body);
    }
}

TEST_F(WinInetTest, ServerClosingAnIdleKeptConnectionDoesNotFailTheNextRequest)
{
    ScriptedReply First = KeptOk("first");
    First.bCloseWhenIdle = true;
    m_Server.Enqueue(First);
    m_Server.SetDefaultReply(KeptOk("second"));
    EXPECT_EQ("first", GetBody(m_Server, "/first"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ("second", GetBody(m_Server, "/second"));
    EXPECT_EQ(2u, m_Server.ConnectionCount());
}
// Threads at once, all on the same kept connections: each answer reaches the request that asked
// for it.
TEST(WinInetSharedCacheTest, ConcurrentThreadsEachGetTheirOwnAnswersOverSharedConnections)
{
    tarn::TarnServer Server;
    Server.EnableKeepAlive();
    const int nPort = Server.Start();
    ASSERT_NE(0, nPort);
    constexpr int kThreads = 8;
    constexpr int kRequests = 40;
    std::vector<std::string> Wrong(kThreads);
    std::vector<std::thread> Threads;
    for (int t = 0; t < kThreads; ++t)
        Threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kRequests; ++i)
                {
                    const std::string Path = "/echo/" + std::to_string(t) + "/" + std::to_string(i);
                    Handle Session = OpenSession();
                    Handle Request = OpenUrl(Session.get(), Server.BaseUrl() + Path);
                    const ReadOutcome Outcome = Request ? ReadAll(Request.get()) : ReadOutcome();
                    if (!Outcome.bOk || Outcome.Body != Path)
                        Wrong[t] += Path + " got '" + Outcome.Body + "'; ";
                }
            });
    for (std::thread& Thread : Threads)
        Thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ("", Wrong[t]);
    EXPECT_EQ(static_cast<size_t>(kThreads * kRequests), Server.RequestCount());
}
} // namespace wininet_test
