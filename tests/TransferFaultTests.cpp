// NW_HttpClient's transfers against the scripted server: the POST exactly as it goes on the wire,
// and network faults with their error codes and log lines.
#include "LogCapture.h"
#include "NW_HttpClient.h"
#include "ScriptedServer.h"
#include "Wine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using tarn::test::CapturedRequest;
using tarn::test::ScriptedReply;
using tarn::test::ScriptedServer;

namespace
{
using Lines = std::vector<std::string>;

std::string Process(const std::string& Condition, const std::string& Function)
{
    return "NWLOG_PROCESS_ERROR(" + Condition + ") at line N in " + Function + "\n";
}

std::string BuildBody(NW_HttpClient& Client)
{
    unsigned char* pbyBody = nullptr;
    DWORD dwSize = 0;
    EXPECT_EQ(1, Client.GetPostBuffer(&pbyBody, &dwSize));
    const std::string Body(reinterpret_cast<const char*>(pbyBody), dwSize);
    delete[] pbyBody;
    return Body;
}

void AddFields(NW_HttpClient& Client)
{
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "player", "alice"));
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "score", "1200\r\n"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "missing", "/nonexistent/replay.bin"));
}
} // namespace

TEST(TransferWireTest, PostGoesOutAsHttp10WithExactlyItsHeadersAndBody)
{
    ScriptedServer Server;
    Server.Enqueue(ScriptedReply::Ok("thanks"));
    NW_HttpClient Expected;
    AddFields(Expected);
    const std::string Body = BuildBody(Expected);

    NW_HttpClient Client;
    AddFields(Client);
    ASSERT_EQ(1, Client.RequestPost("127.0.0.1", "/scores/submit?v=2", Server.Port()));
    unsigned char* pbyData = nullptr;
    DWORD dwSize = 0;
    ASSERT_EQ(1, Client.GetResponse(&pbyData, &dwSize));
    EXPECT_EQ("thanks", std::string(reinterpret_cast<const char*>(pbyData), dwSize));

    const std::vector<CapturedRequest> Requests = Server.Requests();
    ASSERT_EQ(1u, Requests.size());
    const CapturedRequest& Request = Requests[0];
    EXPECT_EQ("POST /scores/submit?v=2 HTTP/1.0", Request.RequestLine);
    EXPECT_EQ("127.0.0.1:" + std::to_string(Server.Port()), Request.Header("Host"));
    EXPECT_EQ("TarnInteraction", Request.Header("User-Agent"));
    EXPECT_EQ("*/*", Request.Header("Accept"));
    EXPECT_EQ("multipart/form-data; boundary=" NW_POST_BOUNDARY, Request.Header("Content-Type"));
    EXPECT_EQ(std::to_string(Body.size()), Request.Header("Content-Length"));
    EXPECT_EQ(Body, Request.Body);

    // Nothing else: no Expect, no Transfer-Encoding, no compression, each header once.
    std::multiset<std::string> Names;
    for (const auto& Header : Request.Headers)
    {
        std::string Name = Header.first;
        std::transform(Name.begin(), Name.end(), Name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        Names.insert(Name);
    }
    std::multiset<std::string> Allowed = {"host", "user-agent", "accept", "content-type", "content-length"};
    if (tarn::test::RunningUnderWine())
    {
        // Wine's WinINet adds these for INTERNET_FLAG_KEEP_CONNECTION and INTERNET_FLAG_RELOAD.
        Allowed.insert("connection");
        Allowed.insert("cache-control");
    }
    std::multiset<std::string> Unexpected;
    std::set_difference(Names.begin(), Names.end(), Allowed.begin(), Allowed.end(),
                        std::inserter(Unexpected, Unexpected.end()));
    EXPECT_TRUE(Unexpected.empty()) << Request.RawHead;
    EXPECT_EQ(1u, Request.HeaderCount("Content-Length"));
    EXPECT_EQ(1u, Request.HeaderCount("Accept"));
}

TEST(TransferWireTest, PostToEmptyObjectAndAfterContinue)
{
    ScriptedServer Server;
    ScriptedReply Reply = ScriptedReply::Ok("done");
    Reply.bContinueFirst = true; // an interim 100 before the real head is skipped
    Server.Enqueue(Reply);
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestPost("127.0.0.1", "", Server.Port()));
    ASSERT_EQ(1u, Server.Requests().size());
    EXPECT_EQ("POST / HTTP/1.0", Server.Requests()[0].RequestLine);
    EXPECT_EQ("--" NW_POST_BOUNDARY "--\r\n", Server.Requests()[0].Body);
}

TEST(TransferWireTest, GetAsksForAFreshCopyWithAcceptAll)
{
    ScriptedServer Server;
    Server.Enqueue(ScriptedReply::Pattern(100, true));
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet(Server.Url("/a").c_str(), "/b?c"));
    const CapturedRequest Request = Server.Requests().at(0);
    EXPECT_EQ("GET /a/b?c HTTP/1.1", Request.RequestLine);
    EXPECT_EQ("*/*", Request.Header("Accept"));
    EXPECT_EQ("TarnInteraction", Request.Header("User-Agent"));
    EXPECT_EQ("no-cache", Request.Header("Pragma"));
    EXPECT_FALSE(Request.HasHeader("Accept-Encoding"));
}

TEST(TransferFaultTest, RefusedPortFailsBothTransfersWithCannotConnect)
{
    const int nPort = ScriptedServer::RefusedPort();
    const std::string Url = "http://127.0.0.1:" + std::to_string(nPort);
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestGet(Url.c_str(), "/x"));
    EXPECT_EQ((Lines{Process("m_hHttpRequest", "NW_HttpClient::RequestGet"),
                     "Failed to download `" + Url + "/x`, Error Code 12029.", "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());

    Capture.Clear();
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "b"));
    EXPECT_EQ(0, Client.RequestPost("127.0.0.1", "/x", nPort));
    EXPECT_EQ((Lines{Process("nRetCode", "NW_HttpClient::RequestPost"), "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(ERROR_INTERNET_CANNOT_CONNECT, GetLastError());
    EXPECT_EQ(0, Client.GetPostParamCount());
}

TEST(TransferFaultTest, ConnectionClosedMidBodyFailsTheReadThenTheTransfer)
{
    ScriptedServer Server;
    ScriptedReply Reply = ScriptedReply::Pattern(100000);
    Reply.nCloseAfterBodyBytes = 30000;
    Server.Enqueue(Reply);
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestGet(Server.Url("/cut").c_str(), ""));
    // A failure after a 200 writes no status line. Wine's WinINet ends the read quietly at the
    // close; the body's announced length then fails it.
    const std::string ReadFailure =
        tarn::test::RunningUnderWine() ? "!bAnnounced || m_dwResponseSize == ullAnnounced" : "nRetCode";
    EXPECT_EQ((Lines{Process(ReadFailure, "NW_HttpClient::ReadHttpBuffer"),
                     Process("nRetCode", "NW_HttpClient::RequestGet"),
                     "Failed to download `" + Server.Url("/cut") + "`, Error Code 12030."}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(0u, Client.GetResponseBufferLength());
}

TEST(TransferFaultTest, GarbageInsteadOfHttpIsAnInvalidResponse)
{
    if (tarn::test::RunningUnderWine())
        GTEST_SKIP() << "Wine's WinINet takes a reply without a status line as an HTTP/0.9 body";
    ScriptedServer Server;
    Server.Enqueue(ScriptedReply::Garbage());
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestGet(Server.Url("/").c_str(), ""));
    EXPECT_EQ((Lines{Process("m_hHttpRequest", "NW_HttpClient::RequestGet"),
                     "Failed to download `" + Server.Url("/") + "`, Error Code 12152.",
                     "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
}

TEST(TransferFaultTest, PostClosedBeforeReplyFailsAtEndRequest)
{
    ScriptedServer Server;
    Server.Enqueue(ScriptedReply::CloseBeforeReply());
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "b"));
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestPost("127.0.0.1", "/x", Server.Port()));
    if (tarn::test::RunningUnderWine())
    {
        // Wine's HttpEndRequest succeeds on a closed connection; the missing status fails the POST.
        EXPECT_EQ((Lines{Process("dwStatusCode == HTTP_STATUS_OK", "NW_HttpClient::RequestPost"),
                         "Response status code : 0\n"}),
                  Capture.LinesWithoutNumbers());
    }
    else
    {
        EXPECT_EQ((Lines{Process("nRetCode", "NW_HttpClient::RequestPost"), "Response status code : 0\n"}),
                  Capture.LinesWithoutNumbers());
        EXPECT_EQ(ERROR_INTERNET_CONNECTION_ABORTED, GetLastError());
    }
    EXPECT_EQ(0, Client.GetPostParamCount());
}

TEST(TransferFaultTest, SilentServerEndsTheGetAfterItsTenSecondReceiveTimeOut)
{
    if (tarn::test::RunningUnderWine())
        GTEST_SKIP()
            << "Wine's WinINet ignores a receive time-out set on the session handle, so this GET never ends";
    ScriptedServer Server;
    Server.Enqueue(ScriptedReply::NeverAnswer());
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestGet(Server.Url("/silent").c_str(), ""));
    EXPECT_EQ((Lines{Process("m_hHttpRequest", "NW_HttpClient::RequestGet"),
                     "Failed to download `" + Server.Url("/silent") + "`, Error Code 12002.",
                     "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
}
