// The WinINet layer's GET path, InternetOpenUrlA and what follows it: bodies read to their end,
// the request on the wire, status queries and redirects.
#include "WinInetLayerTestUtil.h"

#include "TarnServer.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace wininet_test
{
namespace
{
// --- Bodies --------------------------------------------------------------------------------------

struct BodyCase
{
    std::uint64_t uSize;
    bool bChunked;
};

std::string BodyCaseName(const ::testing::TestParamInfo<BodyCase>& Info)
{
    return std::to_string(Info.param.uSize) + (Info.param.bChunked ? "_chunked" : "_length");
}

// For the test's listed name, which would otherwise carry the struct's bytes.
void PrintTo(const BodyCase& Case, std::ostream* pOut)
{
    *pOut << Case.uSize << (Case.bChunked ? " bytes chunked" : " bytes with a length");
}

class WinInetGetBodyTest : public WinInetTest, public ::testing::WithParamInterface<BodyCase>
{
};

// A body of each size arrives whole through reads of 8191 bytes; every read but the last one of
// data fills the buffer, and the end is a successful read of 0 bytes, again and again.
TEST_P(WinInetGetBodyTest, ArrivesWholeInFullReadsAndEndsWithZero)
{
    const BodyCase Case = GetParam();
    ScriptedReply Reply = ScriptedReply::Pattern(Case.uSize, Case.bChunked);
    Reply.uChunkSize = 5000; // chunks that do not line up with the reads
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    ASSERT_TRUE(Session);
    SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 10000);
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/bytes"));
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);

    const ReadOutcome Outcome = ReadAll(Request.get());
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_TRUE(Outcome.Body == tarn::PatternBytes(Case.uSize))
        << "body differs, size " << Outcome.Body.size();
    ASSERT_FALSE(Outcome.Counts.empty());
    EXPECT_EQ(Outcome.Counts.back(), 0u);
    for (size_t i = 0; i + 2 < Outcome.Counts.size(); ++i)
        ASSERT_EQ(Outcome.Counts[i], 8191u) << "read " << i << " was short";
    for (int i = 0; i < 2; ++i)
    {
        char Byte;
        DWORD dwRead = 77;
        EXPECT_TRUE(InternetReadFile(Request.get(), &Byte, 1, &dwRead));
        EXPECT_EQ(dwRead, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WinInetGetBodyTest,
                         ::testing::Values(BodyCase{0, false}, BodyCase{1, false}, BodyCase{8191, false},
                                           BodyCase{8192, false}, BodyCase{5u << 20, false},
                                           BodyCase{0, true}, BodyCase{1, true}, BodyCase{8191, true},
                                           BodyCase{8192, true}, BodyCase{5u << 20, true}),
                         BodyCaseName);

// A read waits for more data until its buffer is full, however the body is cut on the wire, and
// a buffer larger than the rest gets the rest at once.
TEST_F(WinInetTest, ReadFillsTheBufferAcrossPiecesOnTheWire)
{
    m_Server.Enqueue(ScriptedReply::Drip(1000, 100, 10));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/drip"));
    ASSERT_TRUE(Request) << GetLastError();

    std::string Body(2000, '\0');
    DWORD dwRead = 0;
    ASSERT_TRUE(InternetReadFile(Request.get(), &Body[0], 700, &dwRead));
    EXPECT_EQ(dwRead, 700u);
    DWORD dwRest = 0;
    ASSERT_TRUE(InternetReadFile(Request.get(), &Body[700], 1300, &dwRest));
    EXPECT_EQ(dwRest, 300u);
    Body.resize(dwRead + dwRest);
    EXPECT_EQ(Body, tarn::PatternBytes(1000));
    ASSERT_TRUE(InternetReadFile(Request.get(), &Body[0], 10, &dwRead));
    EXPECT_EQ(dwRead, 0u);
}

// --- Handing bytes to a reader ---------------------------------------------------------------------

// The network thread writes into the buffer of a reader that waits and keeps the rest for the next
// reads. Whatever the reads ask, and whether the reader waits or lags, every byte comes once and in
// order; a reader that closes mid-body leaves nothing writing into its buffer.
struct HandOffCase
{
    const char* pszName;
    std::uint64_t uSize;
    bool bChunked;
    size_t uDripBytes;              // the server sends this much at a time (0: all at once)
    std::vector<DWORD> Asks;        // read sizes, used in turn
    int nLagMs;                     // the reader's pause after each read, so that the bytes pile up
    std::uint64_t uCloseAfterBytes; // the reader closes once it has this many (0: reads to the end)
};

void PrintTo(const HandOffCase& Case, std::ostream* pOut)
{
    *pOut << Case.pszName;
}

class WinInetHandOffTest : public WinInetTest, public ::testing::WithParamInterface<HandOffCase>
{
};

TEST_P(WinInetHandOffTest, EveryByteOnceAndInOrder)
{
    const HandOffCase& Case = GetParam();
    ScriptedReply Reply = ScriptedReply::Pattern(Case.uSize, Case.bChunked);
    Reply.uChunkSize = 7000;
    Reply.uDripBytes = Case.uDripBytes;
    Reply.nDripIntervalMs = Case.uDripBytes != 0 ? 1 : 0;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/hand-off"));
    ASSERT_TRUE(Request) << GetLastError();

    std::string Body;
    for (size_t i = 0; Case.uCloseAfterBytes == 0 || Body.size() < Case.uCloseAfterBytes; ++i)
    {
        // A buffer of its own per read, freed at once: a write after the read returned is caught
        // by AddressSanitizer.
        const DWORD dwAsk = Case.Asks[i % Case.Asks.size()];
        std::unique_ptr<char[]> pBuffer(new char[dwAsk]);
        DWORD dwRead = 0;
        ASSERT_TRUE(InternetReadFile(Request.get(), pBuffer.get(), dwAsk, &dwRead)) << GetLastError();
        ASSERT_LE(dwRead, dwAsk);
        if (dwRead == 0)
            break;
        Body.append(pBuffer.get(), dwRead);
        if (Case.nLagMs != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(Case.nLagMs));
    }
    Request.reset();
    const std::uint64_t uExpected = Case.uCloseAfterBytes == 0 ? Case.uSize : Body.size();
    ASSERT_EQ(Body.size(), uExpected);
    EXPECT_TRUE(Body == tarn::PatternBytes(uExpected)) << "bytes out of order or changed";

    // The loop goes on serving after a reader left mid-body.
    m_Server.Enqueue(ScriptedReply::Pattern(100000));
    Handle Next = OpenUrl(Session.get(), m_Server.Url("/next"));
    ASSERT_TRUE(Next) << GetLastError();
    const ReadOutcome Outcome = ReadAll(Next.get(), 1u << 20);
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_TRUE(Outcome.Body == tarn::PatternBytes(100000));
}

const std::uint64_t kHandOffSize = 3u << 20;
INSTANTIATE_TEST_SUITE_P(
    Reads, WinInetHandOffTest,
    ::testing::Values(
        // Asks larger than the rest: the body ends while the reader waits.
        HandOffCase{"LargeAsks", kHandOffSize, false, 0, {2u << 20}, 0, 0},
        HandOffCase{"LargeAsksChunkedDripped", 300000, true, 3000, {1u << 20}, 0, 0},
        // Small and large asks in turn, with and without the reader lagging behind the window.
        HandOffCase{"MixedAsks", kHandOffSize, false, 0, {1, 8191, 700000, 13, 65536}, 0, 0},
        HandOffCase{"MixedAsksLagging", kHandOffSize, true, 0, {1, 300000, 8191, 1u << 20}, 5, 0},
        // The reader closes while the server still sends, its last buffer freed at once.
        HandOffCase{"CloseMidBody", kHandOffSize, false, 0, {1u << 20, 4096}, 0, 1500000},
        HandOffCase{"CloseMidBodyDripped", 300000, true, 3000, {50000}, 0, 100000}),
    [](const ::testing::TestParamInfo<HandOffCase>& Info) { return std::string(Info.param.pszName); });

// A body with a Content-Encoding comes as sent: nothing asks for or undoes compression.
TEST_F(WinInetTest, ContentEncodingIsLeftAlone)
{
    ScriptedReply Reply = ScriptedReply::Ok("not really gzip");
    Reply.Headers.emplace_back("Content-Encoding", "gzip");
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/gz"));
    ASSERT_TRUE(Request) << GetLastError();
    const ReadOutcome Outcome = ReadAll(Request.get());
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_EQ(Outcome.Body, "not really gzip");
    EXPECT_FALSE(m_Server.Requests().at(0).HasHeader("Accept-Encoding"));
}

// An answer without length or chunks ends when the server closes.
TEST_F(WinInetTest, BodyWithoutLengthEndsAtClose)
{
    ScriptedReply Reply = ScriptedReply::Pattern(20000);
    Reply.bNoLength = true;
    Reply.Version = "HTTP/1.0";
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/close"));
    ASSERT_TRUE(Request) << GetLastError();
    const ReadOutcome Outcome = ReadAll(Request.get());
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_EQ(Outcome.Body, tarn::PatternBytes(20000));
}

// --- The request on the wire ---------------------------------------------------------------------

TEST_F(WinInetTest, GetRequestCarriesTheLibrarysHeadersAndNoOthers)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/some/path?x=1&y=two"));
    ASSERT_TRUE(Request) << GetLastError();
    ASSERT_TRUE(ReadAll(Request.get()).bOk);

    const std::vector<CapturedRequest> Requests = m_Server.Requests();
    ASSERT_EQ(Requests.size(), 1u);
    const CapturedRequest& Got = Requests[0];
    EXPECT_EQ(Got.RequestLine, "GET /some/path?x=1&y=two HTTP/1.1");
    EXPECT_EQ(Got.Header("Host"), "127.0.0.1:" + std::to_string(m_Server.Port()));
    EXPECT_EQ(Got.Header("User-Agent"), "TarnInteraction");
    EXPECT_EQ(Got.Header("Accept"), "*/*");
    EXPECT_EQ(Got.HeaderCount("Accept"), 1u);
    // INTERNET_FLAG_RELOAD and INTERNET_FLAG_PRAGMA_NOCACHE.
    EXPECT_EQ(Got.Header("Pragma"), "no-cache");
    EXPECT_EQ(Got.Header("Cache-Control"), "no-cache");
    for (const char* pszAbsent : {"Accept-Encoding", "Expect", "Content-Length", "Transfer-Encoding", "TE"})
        EXPECT_FALSE(Got.HasHeader(pszAbsent)) << pszAbsent;
    // The blank line that ends the extra headers is no header of its own.
    for (const auto& Header : Got.Headers)
        EXPECT_FALSE(Header.first.empty());
    EXPECT_EQ(Got.Headers.size(), 5u) << Got.RawHead;
    EXPECT_TRUE(Got.Body.empty());
}

TEST_F(WinInetTest, NoCacheHeadersOnlyWithTheFlags)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"), nullptr, 0);
    ASSERT_TRUE(Request) << GetLastError();
    Handle Pragma = OpenUrl(Session.get(), m_Server.Url("/"), nullptr, INTERNET_FLAG_PRAGMA_NOCACHE);
    ASSERT_TRUE(Pragma) << GetLastError();
    const std::vector<CapturedRequest> Requests = m_Server.Requests();
    ASSERT_EQ(Requests.size(), 2u);
    EXPECT_FALSE(Requests[0].HasHeader("Pragma"));
    EXPECT_FALSE(Requests[0].HasHeader("Cache-Control"));
    // No extra headers, no Accept: WinINet sends none of its own.
    EXPECT_FALSE(Requests[0].HasHeader("Accept"));
    EXPECT_EQ(Requests[1].Header("Pragma"), "no-cache");
}

TEST_F(WinInetTest, ExtraHeadersAreSentAndAnEmptyAgentSendsNoUserAgent)
{
    Handle Session = OpenSession(INTERNET_OPEN_TYPE_PRECONFIG, "");
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"), "X-One: 1\r\nx-two:  two words \r\n\r\n");
    ASSERT_TRUE(Request) << GetLastError();
    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_FALSE(Got.HasHeader("User-Agent"));
    EXPECT_EQ(Got.Header("X-One"), "1");
    EXPECT_EQ(Got.Header("X-Two"), "two words");
}

TEST_F(WinInetTest, HostLeavesOutTheDefaultPort)
{
    // Port 80 is not ours to listen on; a proxy shows the Host line all the same.
    ScriptedServer Proxy;
    m_Env.Set("http_proxy", Proxy.Url("").c_str());
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), "http://origin.invalid:80/x");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(Proxy.Requests().at(0).Header("Host"), "origin.invalid");
}

// --- Status --------------------------------------------------------------------------------------

class WinInetStatusTest : public WinInetTest, public ::testing::WithParamInterface<int>
{
};

// InternetOpenUrlA succeeds for any final status; the caller reads it, and the body.
TEST_P(WinInetStatusTest, OpenSucceedsAndReportsTheStatus)
{
    m_Server.Enqueue(ScriptedReply::Status(GetParam(), GetParam() == 204 ? "" : "status body"));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/status"));
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), static_cast<DWORD>(GetParam()));
    const ReadOutcome Outcome = ReadAll(Request.get());
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_EQ(Outcome.Body, GetParam() == 204 ? "" : "status body");
}

INSTANTIATE_TEST_SUITE_P(Codes, WinInetStatusTest, ::testing::Values(200, 201, 204, 400, 404, 500, 503));

TEST_F(WinInetTest, QueryInfoFollowsWinInetsBufferRules)
{
    ScriptedReply Reply = ScriptedReply::Status(404, "gone");
    Reply.Reason = "Not Here";
    Reply.Headers.emplace_back("X-Twice", "first");
    Reply.Headers.emplace_back("x-twice", "second");
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/q"));
    ASSERT_TRUE(Request) << GetLastError();
    HINTERNET hRequest = Request.get();

    // Text form: too small a buffer gives the length needed, NUL included.
    DWORD dwLength = 0;
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE, nullptr, &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(dwLength, 4u);
    char szText[16];
    dwLength = 3;
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE, szText, &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(dwLength, 4u);
    // Success gives the length without the NUL.
    dwLength = sizeof(szText);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE, szText, &dwLength, nullptr));
    EXPECT_STREQ(szText, "404");
    EXPECT_EQ(dwLength, 3u);

    // Number form: four bytes are needed.
    DWORD dwStatus = 0;
    dwLength = 2;
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus,
                                &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    dwLength = sizeof(dwStatus);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus,
                               &dwLength, nullptr));
    EXPECT_EQ(dwStatus, 404u);
    EXPECT_EQ(dwLength, 4u);
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE, szText, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    dwLength = sizeof(szText);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_TEXT, szText, &dwLength, nullptr));
    EXPECT_STREQ(szText, "Not Here");
    DWORD dwContentLength = 0;
    dwLength = sizeof(dwContentLength);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &dwContentLength,
                               &dwLength, nullptr));
    EXPECT_EQ(dwContentLength, 4u);

    // Repeated headers by index, names without regard to case; the index moves on.
    DWORD dwIndex = 0;
    std::strcpy(szText, "X-TWICE");
    dwLength = sizeof(szText);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, szText, &dwLength, &dwIndex));
    EXPECT_STREQ(szText, "first");
    EXPECT_EQ(dwIndex, 1u);
    std::strcpy(szText, "x-twice");
    dwLength = sizeof(szText);
    ASSERT_TRUE(HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, szText, &dwLength, &dwIndex));
    EXPECT_STREQ(szText, "second");
    std::strcpy(szText, "x-twice");
    dwLength = sizeof(szText);
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, szText, &dwLength, &dwIndex));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
    dwLength = sizeof(szText);
    EXPECT_FALSE(HttpQueryInfoA(hRequest, HTTP_QUERY_LOCATION, szText, &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
    EXPECT_FALSE(HttpQueryInfoA(hRequest, 9999, szText, &dwLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_QUERY_REQUEST);
}

TEST_F(WinInetTest, FoldedHeaderLinesJoinWithOneSpaceAndNoBlanksAround)
{
    m_Server.Enqueue(ScriptedReply::Raw("HTTP/1.1 200 OK\r\nX-Folded: a\r\n  b  \r\nX-Empty:\r\n\tc\r\n"
                                        "Content-Length: 2\r\n\r\nok"));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"));
    ASSERT_TRUE(Request) << GetLastError();
    const std::pair<const char*, const char*> Expected[] = {{"X-Folded", "a b"}, {"X-Empty", "c"}};
    for (const auto& Header : Expected)
    {
        char szText[64];
        std::strcpy(szText, Header.first);
        DWORD dwLength = sizeof(szText);
        ASSERT_TRUE(HttpQueryInfoA(Request.get(), HTTP_QUERY_CUSTOM, szText, &dwLength, nullptr));
        EXPECT_STREQ(szText, Header.second);
    }
}

// --- Interim answers and redirects ---------------------------------------------------------------

TEST_F(WinInetTest, HundredContinueBeforeTheHeadIsSkipped)
{
    ScriptedReply Reply = ScriptedReply::Ok("after continue");
    Reply.bContinueFirst = true;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"));
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);
    EXPECT_EQ(ReadAll(Request.get()).Body, "after continue");
}

TEST_F(WinInetTest, RedirectIsFollowedToTheFinalAnswer)
{
    tarn::TarnServer Server;
    ASSERT_NE(Server.Start(), 0);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), Server.BaseUrl() + "/redirect/3000");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);
    EXPECT_EQ(ReadAll(Request.get()).Body, tarn::PatternBytes(3000));
}

// Relative and absolute Locations, across servers, with each redirect status; the extra headers
// go along, and every hop is a GET.
TEST_F(WinInetTest, RedirectChainAcrossServersKeepsGetAndHeaders)
{
    ScriptedServer Second;
    m_Server.Enqueue(ScriptedReply::Redirect(301, "/hop2"));
    m_Server.Enqueue(ScriptedReply::Redirect(303, "hop3?q=1"));
    m_Server.Enqueue(ScriptedReply::Redirect(307, Second.Url("/hop4")));
    Second.Enqueue(ScriptedReply::Redirect(308, m_Server.Url("/final")));
    m_Server.Enqueue(ScriptedReply::Ok("final body"));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/dir/hop1"), "X-Keep: yes\r\n");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);
    EXPECT_EQ(ReadAll(Request.get()).Body, "final body");

    const std::vector<CapturedRequest> First = m_Server.Requests();
    const std::vector<CapturedRequest> Other = Second.Requests();
    ASSERT_EQ(First.size(), 4u);
    ASSERT_EQ(Other.size(), 1u);
    EXPECT_EQ(First[0].RequestLine, "GET /dir/hop1 HTTP/1.1");
    EXPECT_EQ(First[1].RequestLine, "GET /hop2 HTTP/1.1");
    EXPECT_EQ(First[2].RequestLine, "GET /hop3?q=1 HTTP/1.1");
    EXPECT_EQ(Other[0].RequestLine, "GET /hop4 HTTP/1.1");
    EXPECT_EQ(Other[0].Header("Host"), "127.0.0.1:" + std::to_string(Second.Port()));
    EXPECT_EQ(First[3].RequestLine, "GET /final HTTP/1.1");
    for (const CapturedRequest& Got : First)
        EXPECT_EQ(Got.Header("X-Keep"), "yes");
    EXPECT_EQ(Other[0].Header("X-Keep"), "yes");
}

TEST_F(WinInetTest, NoAutoRedirectHandsBackTheRedirect)
{
    m_Server.Enqueue(ScriptedReply::Redirect(302, "/elsewhere"));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"), nullptr, INTERNET_FLAG_NO_AUTO_REDIRECT);
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 302u);
    char szLocation[64];
    DWORD dwLength = sizeof(szLocation);
    ASSERT_TRUE(HttpQueryInfoA(Request.get(), HTTP_QUERY_LOCATION, szLocation, &dwLength, nullptr));
    EXPECT_STREQ(szLocation, "/elsewhere");
    EXPECT_EQ(ReadAll(Request.get()).Body, "moved\n");
    EXPECT_EQ(m_Server.RequestCount(), 1u);
}

TEST_F(WinInetTest, RedirectWithoutLocationIsTheFinalAnswer)
{
    m_Server.Enqueue(ScriptedReply::Status(302, "nowhere to go"));
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"));
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 302u);
}

// Redirects that fail are in the table of WinInetLayerFaultTests.cpp.
} // namespace
} // namespace wininet_test
