// NW_HttpClient's parameter list on its own.
#include "LogCapture.h"
#include "NW_HttpClient.h"

#include <gtest/gtest.h>

TEST(HttpClientParamTest, RejectsUnknownTypeBeforeCopying)
{
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.AddPostParam(static_cast<PostParamType>(2), "name", "value"));
    ASSERT_EQ(1u, Capture.Lines().size());
    EXPECT_EQ("NWLOG_PROCESS_ERROR(ePostParamType == eNormal || ePostParamType == eBinaryFile) at line N in "
              "NW_HttpClient::AddPostParam\n",
              LogCapture::WithoutLineNumber(Capture.Lines()[0]));
    EXPECT_EQ(0, Client.GetPostParamCount());
}

TEST(HttpClientParamTest, ClearOnEmptyListAndAfterEntries)
{
    NW_HttpClient Client;
    EXPECT_EQ(1, Client.ClearPostParam());
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "1"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "b", ""));
    EXPECT_EQ(2, Client.GetPostParamCount());
    EXPECT_EQ(1, Client.ClearPostParam());
    EXPECT_EQ(0, Client.GetPostParamCount());
    char* pszName = nullptr;
    char* pszValue = nullptr;
    EXPECT_EQ(0, Client.GetPostParam(0, &pszName, &pszValue));
}

TEST(HttpClientParamTest, LongTextsAreCopiedWhole)
{
    NW_HttpClient Client;
    const std::string Name(5000, 'n');
    const std::string Value(1 << 20, 'v');
    ASSERT_EQ(1, Client.AddPostParam(eNormal, Name.c_str(), Value.c_str()));
    char* pszName = nullptr;
    char* pszValue = nullptr;
    ASSERT_EQ(1, Client.GetPostParam(0, &pszName, &pszValue));
    EXPECT_EQ(Name, pszName);
    EXPECT_EQ(Value, pszValue);
}

TEST(HttpClientParamTest, DestroyingClientWithEntriesReleasesThem)
{
    // AddressSanitizer's leak check fails the run if any copy survives.
    NW_HttpClient* pClient = new NW_HttpClient;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(1, pClient->AddPostParam(i % 2 ? eBinaryFile : eNormal, "n", "v"));
    delete pClient;
}

TEST(HttpClientParamTest, GetResponseWithoutTransferFails)
{
    NW_HttpClient Client;
    LogCapture Capture;
    unsigned char* pbyBuffer = reinterpret_cast<unsigned char*>(&Client);
    DWORD dwSize = 1234;
    EXPECT_EQ(0, Client.GetResponse(&pbyBuffer, &dwSize));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&Client), pbyBuffer);
    EXPECT_EQ(1234u, dwSize);
    ASSERT_EQ(1u, Capture.Lines().size());
    EXPECT_EQ("NWLOG_PROCESS_ERROR(nRetCode) at line N in NW_HttpClient::GetResponse\n",
              LogCapture::WithoutLineNumber(Capture.Lines()[0]));
}
