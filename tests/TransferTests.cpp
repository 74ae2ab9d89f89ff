// NW_HttpClient's transfers against the loopback server: results, buffer bookkeeping and log lines.
#include "LogCapture.h"
#include "NW_HttpClient.h"
#include "LoopbackServerTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;

class TransferTest : public LoopbackServerTest
{
protected:
    std::string Body(NW_HttpClient& Client)
    {
        unsigned char* pbyData = nullptr;
        DWORD dwSize = 0;
        EXPECT_EQ(1, Client.GetResponse(&pbyData, &dwSize));
        if (pbyData == nullptr)
            return std::string();
        EXPECT_EQ(0, pbyData[dwSize]) << "terminating 0";
        return std::string(reinterpret_cast<const char*>(pbyData), dwSize);
    }
};
} // namespace

// The buffer holds the body and its terminating 0; growing by doubling keeps it within twice the
// body, or the first 8 KiB block.
TEST_F(TransferTest, GetBodiesAroundTheBlockSizeInABufferAtMostTwiceTheirSize)
{
    for (size_t uSize : {size_t(0), size_t(1), size_t(8191), size_t(8192), size_t(8193), size_t(5u << 20)})
    {
        for (bool bChunked : {false, true})
        {
            NW_HttpClient Client;
            const std::string Path = "/bytes/" + std::to_string(uSize) + (bChunked ? "?chunked=1" : "");
            ASSERT_EQ(1, Client.RequestGet(s_pServer->BaseUrl().c_str(), Path.c_str())) << Path;
            EXPECT_EQ(tarn::PatternBytes(uSize), Body(Client)) << Path;
            EXPECT_GE(Client.GetResponseBufferLength(), uSize + 1) << Path;
            EXPECT_LE(Client.GetResponseBufferLength(), std::max<size_t>(8192, 2 * uSize)) << Path;
        }
    }
}

TEST_F(TransferTest, GetJoinsAddressAndObjectWithNothingBetween)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet((s_pServer->BaseUrl() + "/ec").c_str(), "ho/a?b=c"));
    EXPECT_EQ("/echo/a?b=c", Body(Client));
    // An empty object: the address alone is fetched.
    ASSERT_EQ(1, Client.RequestGet((s_pServer->BaseUrl() + "/echo/alone").c_str(), ""));
    EXPECT_EQ("/echo/alone", Body(Client));
}

TEST_F(TransferTest, GetAddressIsCutTo1023CharactersSilently)
{
    const std::string Base = s_pServer->BaseUrl() + "/echo/";
    const std::string Object(1100, 'z');
    NW_HttpClient Client;
    LogCapture Capture;
    ASSERT_EQ(1, Client.RequestGet(Base.c_str(), Object.c_str()));
    EXPECT_EQ("/echo/" + std::string(1023 - Base.size(), 'z'), Body(Client));
    EXPECT_TRUE(Capture.Lines().empty());
}

TEST_F(TransferTest, NonOkStatusFailsWithItsLinesAndEmptiesTheBuffer)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet(s_pServer->BaseUrl().c_str(), "/bytes/10"));
    for (int nStatus : {404, 500, 204})
    {
        LogCapture Capture;
        const std::string Object = "/status/" + std::to_string(nStatus);
        SetLastError(0);
        EXPECT_EQ(0, Client.RequestGet(s_pServer->BaseUrl().c_str(), Object.c_str()));
        EXPECT_EQ((Lines{ProcessErrorLine("dwStatusCode == HTTP_STATUS_OK", "NW_HttpClient::RequestGet"),
                         "Failed to download `" + s_pServer->BaseUrl() + Object + "`, Error Code 0.",
                         "Response status code : " + std::to_string(nStatus) + "\n"}),
                  Capture.LinesWithoutNumbers());
        EXPECT_EQ(0u, Client.GetResponseBufferLength());
        unsigned char* pbyData = nullptr;
        DWORD dwSize = 0;
        EXPECT_EQ(0, Client.GetResponse(&pbyData, &dwSize));
        EXPECT_EQ(nullptr, pbyData);
    }
}

TEST_F(TransferTest, EmptyOrNullArgumentsFailFirstWithTheirLines)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "kept", "by GET"));
    LogCapture Capture;
    SetLastError(0);
    EXPECT_EQ(0, Client.RequestGet("", "/x"));
    EXPECT_EQ(0, Client.RequestGet(nullptr, "/x"));
    EXPECT_EQ(0, Client.RequestGet("http://127.0.0.1:1", nullptr));
    EXPECT_EQ((Lines{ProcessErrorLine("cszAddress[0]", "NW_HttpClient::RequestGet"),
                     "Failed to download ``, Error Code 0.", "Response status code : 0\n",
                     ProcessErrorLine("cszAddress", "NW_HttpClient::RequestGet"),
                     "Failed to download ``, Error Code 0.", "Response status code : 0\n",
                     ProcessErrorLine("cszObjectName", "NW_HttpClient::RequestGet"),
                     "Failed to download ``, Error Code 0.", "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
    // A GET leaves the parameters alone, whatever its outcome.
    EXPECT_EQ(1, Client.GetPostParamCount());

    Capture.Clear();
    EXPECT_EQ(0, Client.RequestPost("", "/upload", s_pServer->Port()));
    EXPECT_EQ((Lines{ProcessErrorLine("cszAddress[0]", "NW_HttpClient::RequestPost"),
                     "Failed to upload ``, Error Code 0.", "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
    // A POST consumes them even when it fails at its first check.
    EXPECT_EQ(0, Client.GetPostParamCount());

    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "b"));
    Capture.Clear();
    EXPECT_EQ(0, Client.RequestPost("127.0.0.1", nullptr, s_pServer->Port()));
    EXPECT_EQ(0, Client.RequestPost(nullptr, "/upload", s_pServer->Port()));
    EXPECT_EQ((Lines{ProcessErrorLine("cszObjectName", "NW_HttpClient::RequestPost"),
                     "Failed to upload ``, Error Code 0.", "Response status code : 0\n",
                     ProcessErrorLine("cszAddress", "NW_HttpClient::RequestPost"),
                     "Failed to upload ``, Error Code 0.", "Response status code : 0\n"}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(0, Client.GetPostParamCount());
}

TEST_F(TransferTest, PostSucceedsConsumesParametersAndKeepsResponse)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "field", "value"));
    ASSERT_EQ(1, Client.RequestPost("127.0.0.1", "/upload", s_pServer->Port()));
    EXPECT_EQ(0, Client.GetPostParamCount());
    const tarn::ReceivedForm Form = s_pServer->Forms().back();
    ASSERT_EQ(1u, Form.Parts.size());
    EXPECT_EQ("value", Form.Parts[0].Content);
    EXPECT_EQ("multipart/form-data; boundary=" NW_POST_BOUNDARY, Form.ContentTypeHeader);
    EXPECT_EQ(tarn::DescribeForm(Form), Body(Client));
}

TEST_F(TransferTest, PostWithNonOkStatusLogsTheStatus)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "field", "value"));
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestPost("127.0.0.1", "/no-such-endpoint", s_pServer->Port()));
    EXPECT_EQ((Lines{ProcessErrorLine("dwStatusCode == HTTP_STATUS_OK", "NW_HttpClient::RequestPost"),
                     "Failed to upload `" + s_pServer->BaseUrl() + "/no-such-endpoint`, Error Code 0.",
                     "Response status code : 404\n"}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(0, Client.GetPostParamCount());
    EXPECT_EQ(0u, Client.GetResponseBufferLength());
}

TEST_F(TransferTest, ReadWithoutOpenRequestChangesNothing)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet(s_pServer->BaseUrl().c_str(), "/bytes/100"));
    LogCapture Capture;
    EXPECT_EQ(0, Client.ReadHttpBuffer());
    EXPECT_EQ((Lines{ProcessErrorLine("m_hHttpRequest", "NW_HttpClient::ReadHttpBuffer")}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(tarn::PatternBytes(100), Body(Client));
    EXPECT_EQ(8192u, Client.GetResponseBufferLength());
}

TEST_F(TransferTest, GetResponseNullOutPointers)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet(s_pServer->BaseUrl().c_str(), "/bytes/3"));
    LogCapture Capture;
    unsigned char* pbyData = nullptr;
    DWORD dwSize = 0;
    EXPECT_EQ(0, Client.GetResponse(nullptr, &dwSize));
    EXPECT_EQ(0, Client.GetResponse(&pbyData, nullptr));
    EXPECT_EQ((Lines{ProcessErrorLine("ppbyBuffer", "NW_HttpClient::GetResponse"),
                     ProcessErrorLine("pdwBufferSize", "NW_HttpClient::GetResponse")}),
              Capture.LinesWithoutNumbers());
    // A second call gives the same answer.
    EXPECT_EQ(Body(Client), Body(Client));
}

TEST_F(TransferTest, RedirectIsFollowedToTheFinalBody)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.RequestGet(s_pServer->BaseUrl().c_str(), "/redirect/777"));
    EXPECT_EQ(tarn::PatternBytes(777), Body(Client));
}
