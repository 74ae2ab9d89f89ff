// The WinINet layer's POST path: HttpOpenRequestA, the header rules of HttpAddRequestHeadersA,
// HttpSendRequestExA / InternetWriteFile / HttpEndRequestA, and redirects of a POST.
#include "WinInetLayerTestUtil.h"

#include "NW_HttpClient.h"
#include "TarnServer.h"

#include <cstring>

namespace wininet_test
{
namespace
{
// --- The request on the wire ---------------------------------------------------------------------

// What a POST puts on the wire, its headers each once and nothing else, is checked through
// NW_HttpClient::RequestPost by TransferWireTest (TransferFaultTests.cpp); binary bodies by the
// redirects below and the memory test.
TEST_F(WinInetTest, EmptyObjectAsksForTheRootAndEmptyBodyAnnouncesZero)
{
    Handle Session = OpenSession();
    const PostOutcome Outcome = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "", "");
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_EQ(Got.RequestLine, "POST / HTTP/1.0");
    EXPECT_EQ(Got.Header("Content-Length"), "0");
    EXPECT_EQ(Got.HeaderCount("Content-Length"), 1u);
}

TEST_F(WinInetTest, ObjectWithoutSlashOrWithSpacesIsSentAsAPath)
{
    Handle Session = OpenSession();
    ASSERT_EQ(
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "form handler?a=b", "x").FailedAt,
        "");
    EXPECT_EQ(m_Server.Requests().at(0).RequestLine, "POST /form%20handler?a=b HTTP/1.0");
}

// The multipart body as a real server library parses it.
TEST_F(WinInetTest, MultipartPostIsParsedByAnotherServer)
{
    tarn::TarnServer Server;
    ASSERT_NE(Server.Start(), 0);
    const std::string Boundary = NW_POST_BOUNDARY;
    const std::string FileBytes = BinaryBody(300000);
    const std::string Body = "--" + Boundary +
                             "\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue\r\n" + "--" +
                             Boundary +
                             "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             FileBytes + "\r\n--" + Boundary + "--\r\n";
    Handle Session = OpenSession();
    const PostOutcome Outcome = PostLikeTheLibrary(
        Session.get(), "127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), "/upload", Body);
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 200u);
    const std::vector<tarn::ReceivedForm> Forms = Server.Forms();
    ASSERT_EQ(Forms.size(), 1u);
    ASSERT_TRUE(Forms[0].bParsed);
    ASSERT_EQ(Forms[0].Parts.size(), 2u);
    EXPECT_EQ(Forms[0].Parts[0].Content, "value");
    EXPECT_EQ(Forms[0].Parts[1].FileName, "a.bin");
    EXPECT_TRUE(Forms[0].Parts[1].Content == FileBytes);
    EXPECT_EQ(Outcome.Response.Body, tarn::DescribeForm(Forms[0]));
}

TEST_F(WinInetTest, HundredContinueBeforeThePostAnswerIsSkipped)
{
    ScriptedReply Reply = ScriptedReply::Ok("done");
    Reply.bContinueFirst = true;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/c", "body");
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 200u);
    EXPECT_EQ(Outcome.Response.Body, "done");
    EXPECT_EQ(m_Server.Requests().at(0).Body, "body");
}

TEST_F(WinInetTest, ErrorStatusOfAPostIsReadable)
{
    m_Server.Enqueue(ScriptedReply::Status(500, "server says no"));
    Handle Session = OpenSession();
    const PostOutcome Outcome = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/x", "abc");
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 500u);
    EXPECT_EQ(Outcome.Response.Body, "server says no");
}

TEST_F(WinInetTest, LargePostArrivesIntact)
{
    m_Server.SetKeepBodies(false);
    const std::string Body = tarn::PatternBytes(64u << 20);
    Handle Session = OpenSession();
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/big", Body);
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_EQ(Got.Header("Content-Length"), std::to_string(Body.size()));
    EXPECT_EQ(Got.uBodySize, Body.size());
    EXPECT_EQ(Got.uBodyHash, tarn::Fnv1a64(Body.data(), Body.size()));
    EXPECT_FALSE(Got.HasHeader("Expect"));
}

// With HTTP/1.1 and a body over 1 MiB libcurl would ask for a 100 Continue and wait for it;
// WinINet never does.
TEST_F(WinInetTest, Http11PostOfSeveralMegabytesSendsNoExpect)
{
    const std::string Body = BinaryBody(3u << 20);
    Handle Session = OpenSession();
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle Request(HttpOpenRequestA(Connection.get(), "POST", "/v11", "HTTP/1.1", nullptr, nullptr, 0, 0));
    ASSERT_TRUE(Request) << GetLastError();
    const std::string Length = "Content-Length: " + std::to_string(Body.size()) + "\r\n";
    ASSERT_TRUE(HttpAddRequestHeadersA(Request.get(), Length.c_str(), static_cast<DWORD>(-1),
                                       HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    ASSERT_TRUE(HttpSendRequestExA(Request.get(), nullptr, nullptr, 0, 0)) << GetLastError();
    DWORD dwWritten = 0;
    ASSERT_TRUE(InternetWriteFile(Request.get(), Body.data(), static_cast<DWORD>(Body.size()), &dwWritten));
    EXPECT_EQ(dwWritten, Body.size());
    ASSERT_TRUE(HttpEndRequestA(Request.get(), nullptr, 0, 0)) << GetLastError();
    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_EQ(Got.RequestLine, "POST /v11 HTTP/1.1");
    EXPECT_FALSE(Got.HasHeader("Expect"));
    EXPECT_FALSE(Got.HasHeader("Transfer-Encoding"));
    EXPECT_FALSE(Got.HasHeader("Content-Type"));
    EXPECT_EQ(Got.HeaderCount("Content-Length"), 1u);
    EXPECT_TRUE(Got.Body == Body);
}

// A request handle can be sent again once its answer came, as WinINet's retry loops do.
TEST_F(WinInetTest, RequestCanBeSentAgain)
{
    m_Server.Enqueue(ScriptedReply::Status(503, "later"));
    m_Server.Enqueue(ScriptedReply::Ok("now"));
    Handle Session = OpenSession();
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle Request(HttpOpenRequestA(Connection.get(), "POST", "/again", "HTTP/1.0", nullptr, nullptr, 0, 0));
    ASSERT_TRUE(Request) << GetLastError();
    for (const char* pszExpected : {"later", "now"})
    {
        INTERNET_BUFFERSA BuffersIn{};
        BuffersIn.dwStructSize = sizeof(BuffersIn);
        BuffersIn.dwBufferTotal = 3;
        ASSERT_TRUE(HttpSendRequestExA(Request.get(), &BuffersIn, nullptr, 0, 0)) << GetLastError();
        DWORD dwWritten = 0;
        ASSERT_TRUE(InternetWriteFile(Request.get(), "abc", 3, &dwWritten));
        ASSERT_TRUE(HttpEndRequestA(Request.get(), nullptr, 0, 0)) << GetLastError();
        EXPECT_EQ(ReadAll(Request.get()).Body, pszExpected);
    }
    const std::vector<CapturedRequest> Requests = m_Server.Requests();
    ASSERT_EQ(Requests.size(), 2u);
    EXPECT_EQ(Requests[1].Body, "abc");
}

// A server that answers before the body is complete (here without reading any of it) is heard:
// the write ends early and the answer is there to read. (The scripted server keeps reading after
// its answer, so the client sees the answer before any reset.)
TEST_F(WinInetTest, AnswerBeforeTheBodyEndsIsReported)
{
    ScriptedReply Reply = ScriptedReply::Status(413, "too large");
    Reply.bReadBody = false;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    SetTimeout(Session.get(), INTERNET_OPTION_SEND_TIMEOUT, 5000);
    SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
    const PostOutcome Outcome = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/full",
                                                   std::string(32u << 20, 'z'));
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 413u);
    EXPECT_EQ(Outcome.Response.Body, "too large");
}

// Headers and data given in INTERNET_BUFFERS, the length from dwBufferTotal, the body written in
// several pieces.
TEST_F(WinInetTest, InternetBuffersCarryHeadersLengthAndFirstData)
{
    Handle Session = OpenSession();
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle Request(HttpOpenRequestA(Connection.get(), "PUT", "/put", nullptr, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(Request) << GetLastError();
    INTERNET_BUFFERSA BuffersIn{};
    BuffersIn.dwStructSize = sizeof(BuffersIn);
    BuffersIn.lpcszHeader = "X-Extra: 1\r\n";
    BuffersIn.dwHeadersLength = 12;
    BuffersIn.lpvBuffer = const_cast<char*>("first-");
    BuffersIn.dwBufferLength = 6;
    BuffersIn.dwBufferTotal = 17;
    ASSERT_TRUE(HttpSendRequestExA(Request.get(), &BuffersIn, nullptr, HSR_INITIATE, 0)) << GetLastError();
    DWORD dwWritten = 0;
    ASSERT_TRUE(InternetWriteFile(Request.get(), "second-", 7, &dwWritten));
    EXPECT_EQ(dwWritten, 7u);
    ASSERT_TRUE(InternetWriteFile(Request.get(), "last", 4, &dwWritten));
    ASSERT_TRUE(HttpEndRequestA(Request.get(), nullptr, 0, 0)) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);

    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_EQ(Got.RequestLine, "PUT /put HTTP/1.1");
    EXPECT_EQ(Got.Header("X-Extra"), "1");
    EXPECT_EQ(Got.Header("Content-Length"), "17");
    EXPECT_FALSE(Got.HasHeader("Content-Type"));
    EXPECT_FALSE(Got.HasHeader("Accept"));
    EXPECT_EQ(Got.Body, "first-second-last");
}

// --- HttpAddRequestHeadersA ----------------------------------------------------------------------

class WinInetHeaderRulesTest : public WinInetTest
{
protected:
    void SetUp() override
    {
        WinInetTest::SetUp();
        m_Session = OpenSession();
        m_Connection.reset(InternetConnectA(m_Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
        LPCSTR AcceptTypes[] = {"*/*", nullptr};
        m_Request.reset(HttpOpenRequestA(m_Connection.get(), "POST", "/h", "HTTP/1.0", nullptr, AcceptTypes,
                                         kPostFlags, 0));
        ASSERT_TRUE(m_Request) << GetLastError();
    }

    BOOL Add(const char* pszHeaders, DWORD dwModifiers)
    {
        return HttpAddRequestHeadersA(m_Request.get(), pszHeaders, static_cast<DWORD>(-1), dwModifiers);
    }

    // Sends the request with an empty body and returns what the server received.
    CapturedRequest SendAndCapture()
    {
        INTERNET_BUFFERSA BuffersIn{};
        BuffersIn.dwStructSize = sizeof(BuffersIn);
        EXPECT_TRUE(HttpSendRequestExA(m_Request.get(), &BuffersIn, nullptr, HSR_INITIATE, 0))
            << GetLastError();
        EXPECT_TRUE(HttpEndRequestA(m_Request.get(), nullptr, HSR_INITIATE, 0)) << GetLastError();
        EXPECT_TRUE(m_Server.WaitForRequests(1, 5000));
        const std::vector<CapturedRequest> Requests = m_Server.Requests();
        return Requests.empty() ? CapturedRequest() : Requests[0];
    }

    Handle m_Session;
    Handle m_Connection;
    Handle m_Request;
};

TEST_F(WinInetHeaderRulesTest, AddIfNewFailsOnAPresentHeaderWhateverItsCase)
{
    // The accept types made an Accept header already.
    EXPECT_FALSE(Add("accept: text/plain\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_ALREADY_EXISTS);
    ASSERT_TRUE(Add("X-New: 1\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_FALSE(Add("X-NEW: 2\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_ALREADY_EXISTS);
    const CapturedRequest Got = SendAndCapture();
    EXPECT_EQ(Got.Header("Accept"), "*/*");
    EXPECT_EQ(Got.HeaderCount("X-New"), 1u);
    EXPECT_EQ(Got.Header("X-New"), "1");
}

TEST_F(WinInetHeaderRulesTest, ReplaceNeedsThePresentHeaderAndAnEmptyValueRemovesIt)
{
    EXPECT_FALSE(Add("X-Absent: 1\r\n", HTTP_ADDREQ_FLAG_REPLACE));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
    ASSERT_TRUE(Add("ACCEPT: text/html\r\n", HTTP_ADDREQ_FLAG_REPLACE));
    ASSERT_TRUE(Add("X-Gone: soon\r\n", HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(Add("x-gone:\r\n", HTTP_ADDREQ_FLAG_REPLACE));
    const CapturedRequest Got = SendAndCapture();
    EXPECT_EQ(Got.Header("Accept"), "text/html");
    EXPECT_EQ(Got.HeaderCount("Accept"), 1u);
    EXPECT_FALSE(Got.HasHeader("X-Absent"));
    EXPECT_FALSE(Got.HasHeader("X-Gone"));
}

TEST_F(WinInetHeaderRulesTest, AddWithReplaceAddsOrReplaces)
{
    ASSERT_TRUE(Add("X-Either: added\r\n", HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE));
    ASSERT_TRUE(Add("Accept: image/png\r\n", HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE));
    const CapturedRequest Got = SendAndCapture();
    EXPECT_EQ(Got.Header("X-Either"), "added");
    EXPECT_EQ(Got.Header("Accept"), "image/png");
    EXPECT_EQ(Got.HeaderCount("Accept"), 1u);
}

TEST_F(WinInetHeaderRulesTest, AddKeepsDuplicatesAndCoalesceJoins)
{
    ASSERT_TRUE(Add("X-Dup: a\r\n", HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(Add("X-Dup: b\r\n", HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(Add("X-List: a\r\n", HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(Add("X-List: b\r\n", HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA));
    ASSERT_TRUE(Add("X-Semi: a\r\n", HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(Add("X-Semi: b\r\n", HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON));
    const CapturedRequest Got = SendAndCapture();
    EXPECT_EQ(Got.HeaderCount("X-Dup"), 2u);
    EXPECT_EQ(Got.Header("X-List"), "a, b");
    EXPECT_EQ(Got.Header("X-Semi"), "a; b");
}

// Several lines in one call are each applied; the length may be exact, -1 for a NUL-terminated
// text, or stop short of the text's end.
TEST_F(WinInetHeaderRulesTest, SeveralLinesAndLengthsInOneCall)
{
    ASSERT_TRUE(Add("X-A: 1\r\nX-B: 2\r\n\r\nX-C: 3", HTTP_ADDREQ_FLAG_ADD));
    const char* pszText = "X-D: 4\r\nX-E: 5\r\n";
    ASSERT_TRUE(HttpAddRequestHeadersA(m_Request.get(), pszText, 8, HTTP_ADDREQ_FLAG_ADD));
    // A failing line stops the call; the lines before it stay.
    EXPECT_FALSE(Add("X-F: 6\r\nAccept: again\r\nX-G: 7\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_ALREADY_EXISTS);
    const CapturedRequest Got = SendAndCapture();
    EXPECT_EQ(Got.Header("X-A"), "1");
    EXPECT_EQ(Got.Header("X-B"), "2");
    EXPECT_EQ(Got.Header("X-C"), "3");
    EXPECT_EQ(Got.Header("X-D"), "4");
    EXPECT_FALSE(Got.HasHeader("X-E"));
    EXPECT_EQ(Got.Header("X-F"), "6");
    EXPECT_FALSE(Got.HasHeader("X-G"));
}

TEST_F(WinInetHeaderRulesTest, MalformedLinesAndArgumentsAreRefused)
{
    EXPECT_FALSE(Add("no colon here\r\n", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    EXPECT_FALSE(Add(": no name\r\n", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    EXPECT_FALSE(Add("Bad Name: x\r\n", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    EXPECT_FALSE(HttpAddRequestHeadersA(m_Request.get(), nullptr, 0, HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(WinInetHeaderRulesTest, RequestHeadersCanBeQueriedBeforeSending)
{
    ASSERT_TRUE(Add("X-Query: value\r\n", HTTP_ADDREQ_FLAG_ADD));
    char szValue[32];
    std::strcpy(szValue, "x-query");
    DWORD dwLength = sizeof(szValue);
    ASSERT_TRUE(HttpQueryInfoA(m_Request.get(), HTTP_QUERY_CUSTOM | HTTP_QUERY_FLAG_REQUEST_HEADERS, szValue,
                               &dwLength, nullptr));
    EXPECT_STREQ(szValue, "value");
    // The response's headers are not there yet.
    dwLength = sizeof(szValue);
    EXPECT_FALSE(HttpQueryInfoA(m_Request.get(), HTTP_QUERY_STATUS_CODE, szValue, &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

// The calls of a POST in the wrong order, and bodies that do not match their Content-Length.
TEST_F(WinInetHeaderRulesTest, CallsOutOfOrderFailWithIncorrectHandleState)
{
    HINTERNET hRequest = m_Request.get();
    char Buffer[16];
    DWORD dwCount = 0;
    EXPECT_FALSE(InternetWriteFile(hRequest, "x", 1, &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(HttpEndRequestA(hRequest, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(InternetReadFile(hRequest, Buffer, sizeof(Buffer), &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);

    ASSERT_TRUE(Add("Content-Length: 4\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    INTERNET_BUFFERSA BuffersIn{};
    BuffersIn.dwStructSize = sizeof(BuffersIn);
    ASSERT_TRUE(HttpSendRequestExA(hRequest, &BuffersIn, nullptr, HSR_INITIATE, 0)) << GetLastError();
    EXPECT_FALSE(HttpSendRequestExA(hRequest, &BuffersIn, nullptr, HSR_INITIATE, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(Add("X-Late: 1\r\n", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(InternetReadFile(hRequest, Buffer, sizeof(Buffer), &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // More than announced is refused; less than announced cannot end the request.
    EXPECT_FALSE(InternetWriteFile(hRequest, "12345", 5, &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(InternetWriteFile(hRequest, "12", 2, &dwCount));
    EXPECT_FALSE(HttpEndRequestA(hRequest, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

TEST_F(WinInetHeaderRulesTest, ContentLengthThatIsNoNumberIsRefused)
{
    ASSERT_TRUE(Add("Content-Length: twelve\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    INTERNET_BUFFERSA BuffersIn{};
    BuffersIn.dwStructSize = sizeof(BuffersIn);
    EXPECT_FALSE(HttpSendRequestExA(m_Request.get(), &BuffersIn, nullptr, HSR_INITIATE, 0));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    BuffersIn.dwStructSize = 12;
    EXPECT_FALSE(HttpSendRequestExA(m_Request.get(), &BuffersIn, nullptr, HSR_INITIATE, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- Redirects of a POST -------------------------------------------------------------------------

class WinInetPostRedirectTest : public WinInetTest, public ::testing::WithParamInterface<int>
{
};

// 307 and 308 repeat the POST with its body and headers.
TEST_P(WinInetPostRedirectTest, KeepsThePostAndItsBody)
{
    ScriptedServer Target;
    m_Server.Enqueue(ScriptedReply::Redirect(GetParam(), Target.Url("/moved")));
    Target.Enqueue(ScriptedReply::Ok("arrived"));
    const std::string Body = BinaryBody(5000);
    Handle Session = OpenSession();
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/orig", Body);
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 200u);
    EXPECT_EQ(Outcome.Response.Body, "arrived");
    const CapturedRequest Second = Target.Requests().at(0);
    EXPECT_EQ(Second.RequestLine, "POST /moved HTTP/1.0");
    EXPECT_EQ(Second.Header("Content-Length"), "5000");
    EXPECT_EQ(Second.Header("Content-Type"), "multipart/form-data; boundary=" NW_POST_BOUNDARY);
    EXPECT_TRUE(Second.Body == Body);
    EXPECT_TRUE(m_Server.Requests().at(0).Body == Body);
}

INSTANTIATE_TEST_SUITE_P(Codes, WinInetPostRedirectTest, ::testing::Values(307, 308));

class WinInetPostToGetRedirectTest : public WinInetTest, public ::testing::WithParamInterface<int>
{
};

// 301, 302 and 303 turn the POST into a GET without body or body headers.
TEST_P(WinInetPostToGetRedirectTest, TurnsThePostIntoAGet)
{
    m_Server.Enqueue(ScriptedReply::Redirect(GetParam(), "/result?id=7"));
    m_Server.Enqueue(ScriptedReply::Ok("result page"));
    Handle Session = OpenSession();
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/form", "a=1");
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 200u);
    EXPECT_EQ(Outcome.Response.Body, "result page");
    const std::vector<CapturedRequest> Requests = m_Server.Requests();
    ASSERT_EQ(Requests.size(), 2u);
    EXPECT_EQ(Requests[0].Body, "a=1");
    EXPECT_EQ(Requests[1].RequestLine, "GET /result?id=7 HTTP/1.0");
    EXPECT_FALSE(Requests[1].HasHeader("Content-Length"));
    EXPECT_FALSE(Requests[1].HasHeader("Content-Type"));
    EXPECT_EQ(Requests[1].Header("Accept"), "*/*");
    EXPECT_TRUE(Requests[1].Body.empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, WinInetPostToGetRedirectTest, ::testing::Values(301, 302, 303));

// A body too large to keep a copy of cannot be sent again: the 307 is the answer.
TEST_F(WinInetTest, RedirectOfALargePostIsHandedBack)
{
    m_Server.Enqueue(ScriptedReply::Redirect(307, "/elsewhere"));
    Handle Session = OpenSession();
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/big", BinaryBody(200000));
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    EXPECT_EQ(Outcome.dwStatus, 307u);
    EXPECT_EQ(m_Server.RequestCount(), 1u);
}
} // namespace
} // namespace wininet_test
