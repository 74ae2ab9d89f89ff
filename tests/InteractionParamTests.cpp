// The interaction object: factory sharing and counting, and the parameter operations with their
// log lines.
#include "LogCapture.h"
#include "NTarnInteraction.h"
#include "NW_Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;

// Holds one reference for the test and releases whatever is left at the end.
class InteractionTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_pInteraction = CreateTarnInteraction();
        ASSERT_NE(nullptr, m_pInteraction);
    }
    void TearDown() override
    {
        while (g_pInteraction != nullptr)
            g_pInteraction->Release();
    }

    ITarnInteraction* m_pInteraction = nullptr;
};
} // namespace

TEST(FactoryTest, SharesOneObjectAndCountsHolders)
{
    ITarnInteraction* pFirst = CreateTarnInteraction();
    ITarnInteraction* pSecond = CreateTarnInteraction();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_EQ(2, static_cast<NTarnInteraction*>(pFirst)->GetRefCount());

    EXPECT_EQ(1, pSecond->Release());
    EXPECT_EQ(pFirst, g_pInteraction);
    EXPECT_EQ(0, pFirst->Release());
    EXPECT_EQ(nullptr, g_pInteraction);

    // A new cycle starts from a fresh object with one holder.
    for (int nCycle = 0; nCycle < 3; ++nCycle)
    {
        ITarnInteraction* pNext = CreateTarnInteraction();
        ASSERT_NE(nullptr, pNext);
        EXPECT_EQ(1, static_cast<NTarnInteraction*>(pNext)->GetRefCount());
        EXPECT_EQ(0, pNext->GetParamCount());
        EXPECT_EQ(0, pNext->Release());
        EXPECT_EQ(nullptr, g_pInteraction);
    }
}

TEST_F(InteractionTest, ClearAndResetWithoutPendingJob)
{
    LogCapture Capture;
    EXPECT_EQ(0, m_pInteraction->ClearParam());
    EXPECT_EQ(1, m_pInteraction->Reset());
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    EXPECT_TRUE(Capture.Lines().empty());
}

TEST_F(InteractionTest, AddReadCountAndClearParameters)
{
    LogCapture Capture;
    ASSERT_EQ(1, m_pInteraction->AddParam("user", "alice", 0));
    ASSERT_EQ(1, m_pInteraction->AddParam("avatar", "dir\\pic.png", 1));
    ASSERT_EQ(1, m_pInteraction->AddParam("user", "", 0)); // same name again, empty value
    EXPECT_EQ(3, m_pInteraction->GetParamCount());

    char* pszName = nullptr;
    char* pszValue = nullptr;
    ASSERT_EQ(1, m_pInteraction->GetParam(1, &pszName, &pszValue));
    EXPECT_STREQ("avatar", pszName);
    EXPECT_STREQ("dir\\pic.png", pszValue);
    ASSERT_EQ(1, m_pInteraction->GetParam(2, &pszName, &pszValue));
    EXPECT_STREQ("user", pszName);
    EXPECT_STREQ("", pszValue);

    EXPECT_EQ(1, m_pInteraction->ClearParam());
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    // The job stays pending after a clear: clearing again still succeeds.
    EXPECT_EQ(1, m_pInteraction->ClearParam());
    EXPECT_EQ(1, m_pInteraction->AddParam("a", "b", 0));
    EXPECT_EQ(1, m_pInteraction->Reset());
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    EXPECT_TRUE(Capture.Lines().empty());
}

TEST_F(InteractionTest, CopiesAreIndependentOfCallerTexts)
{
    std::string Name = "field";
    std::string Value = "value";
    ASSERT_EQ(1, m_pInteraction->AddParam(Name.c_str(), Value.c_str(), 0));
    Name.assign("XXXXX");
    Value.assign("YYYYY");
    char* pszName = nullptr;
    char* pszValue = nullptr;
    ASSERT_EQ(1, m_pInteraction->GetParam(0, &pszName, &pszValue));
    EXPECT_STREQ("field", pszName);
    EXPECT_STREQ("value", pszValue);
}

TEST_F(InteractionTest, FileFlagAnyNonZeroMakesFileParameter)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("upload", "/tmp/file", 2));
    ASSERT_EQ(1, m_pInteraction->AddParam("note", "x\"y", 0)); // a text value may hold a quote
    // A quote refused in a file path shows the first parameter was stored as a file.
    LogCapture Capture;
    EXPECT_EQ(0, m_pInteraction->AddParam("upload2", "/tmp/\"quoted", -1));
    EXPECT_EQ((Lines{ProcessErrorLine("ePostParamType != eBinaryFile || IsHeaderSafe(cszParamValue)",
                                      "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam")}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(2, m_pInteraction->GetParamCount());
}

TEST_F(InteractionTest, AddParamEmptyNameLogsTwoLinesAndKeepsEmptyPendingJob)
{
    LogCapture Capture;
    EXPECT_EQ(0, m_pInteraction->AddParam("", "value", 0));
    EXPECT_EQ((Lines{ProcessErrorLine("dwParamNameLen > 0", "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam")}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    // The pending job created for the failed call is still there: ClearParam finds it.
    EXPECT_EQ(1, m_pInteraction->ClearParam());
}

TEST_F(InteractionTest, AddParamRefusesNullTexts)
{
    LogCapture Capture;
    EXPECT_EQ(0, m_pInteraction->AddParam(nullptr, "value", 0));
    EXPECT_EQ(0, m_pInteraction->AddParam("name", nullptr, 1));
    EXPECT_EQ((Lines{ProcessErrorLine("cszParamName", "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam"),
                     ProcessErrorLine("cszParamValue", "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam")}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
}

TEST_F(InteractionTest, AddParamRefusesNamesThatWouldBreakThePartHeader)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("kept", "1", 0));
    LogCapture Capture;
    const char* rgcszBadNames[] = {"a\r\nContent-Type: x", "line\nfeed", "quote\"d", "cr\r"};
    for (const char* cszName : rgcszBadNames)
        EXPECT_EQ(0, m_pInteraction->AddParam(cszName, "v", 0)) << cszName;
    EXPECT_EQ(0, m_pInteraction->AddParam("file", "dir/a\nb.txt", 1));

    const Lines Logged = Capture.LinesWithoutNumbers();
    ASSERT_EQ(10u, Logged.size());
    for (size_t i = 0; i < 8; i += 2)
    {
        EXPECT_EQ(ProcessErrorLine("IsHeaderSafe(cszParamName)", "NW_HttpClient::AddPostParam"), Logged[i]);
        EXPECT_EQ(ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam"), Logged[i + 1]);
    }
    EXPECT_EQ(ProcessErrorLine("ePostParamType != eBinaryFile || IsHeaderSafe(cszParamValue)",
                               "NW_HttpClient::AddPostParam"),
              Logged[8]);
    EXPECT_EQ(1, m_pInteraction->GetParamCount());
}

TEST_F(InteractionTest, AddParamRefusesATrailingBackslashButKeepsInnerOnes)
{
    LogCapture Capture;
    // A final backslash would escape the closing quote for receivers that read quoted-pairs.
    EXPECT_EQ(0, m_pInteraction->AddParam("x\\", "v", 1));
    EXPECT_EQ(0, m_pInteraction->AddParam("dir", "C:\\Upload\\", 1));
    EXPECT_EQ((Lines{ProcessErrorLine("IsHeaderSafe(cszParamName)", "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam"),
                     ProcessErrorLine("ePostParamType != eBinaryFile || IsHeaderSafe(cszParamValue)",
                                      "NW_HttpClient::AddPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::AddParam")}),
              Capture.LinesWithoutNumbers());

    Capture.Clear();
    ASSERT_EQ(1, m_pInteraction->AddParam("a\\b", "C:\\Upload\\save.bin", 1));
    ASSERT_EQ(1, m_pInteraction->AddParam("note", "ends\\", 0)); // a text value is content, not quoted
    char* pszName = nullptr;
    char* pszValue = nullptr;
    ASSERT_EQ(1, m_pInteraction->GetParam(0, &pszName, &pszValue));
    EXPECT_STREQ("a\\b", pszName);
    EXPECT_STREQ("C:\\Upload\\save.bin", pszValue);
    EXPECT_TRUE(Capture.Lines().empty());
}

TEST_F(InteractionTest, GetParamNullOutPointersFailNameFirst)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("a", "b", 0));
    LogCapture Capture;
    char* pszValue = nullptr;
    char* pszName = nullptr;
    EXPECT_EQ(0, m_pInteraction->GetParam(0, nullptr, nullptr));
    EXPECT_EQ(0, m_pInteraction->GetParam(0, &pszName, nullptr));
    EXPECT_EQ((Lines{ProcessErrorLine("ppszRetParamName", "NTarnInteraction::GetParam"),
                     ProcessErrorLine("ppRetParamValue", "NTarnInteraction::GetParam")}),
              Capture.LinesWithoutNumbers());
    EXPECT_EQ(nullptr, pszName);
    EXPECT_EQ(nullptr, pszValue);
}

TEST_F(InteractionTest, GetParamOutOfRangeIndexesFailWithoutWriting)
{
    ASSERT_EQ(1, m_pInteraction->AddParam("first", "1", 0));
    ASSERT_EQ(1, m_pInteraction->AddParam("last", "2", 0));
    LogCapture Capture;
    char* pszName = nullptr;
    char* pszValue = nullptr;
    EXPECT_EQ(0, m_pInteraction->GetParam(2, &pszName, &pszValue));
    EXPECT_EQ(0, m_pInteraction->GetParam(-1, &pszName, &pszValue));
    EXPECT_EQ(0, m_pInteraction->GetParam(-2147483647 - 1, &pszName, &pszValue));
    EXPECT_EQ(nullptr, pszName);
    EXPECT_EQ(nullptr, pszValue);
    EXPECT_EQ((Lines{ProcessErrorLine("nIndex < (int)m_PostList.size()", "NW_HttpClient::GetPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::GetParam"),
                     ProcessErrorLine("nIndex >= 0", "NW_HttpClient::GetPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::GetParam"),
                     ProcessErrorLine("nIndex >= 0", "NW_HttpClient::GetPostParam"),
                     ProcessErrorLine("nRetCode", "NTarnInteraction::GetParam")}),
              Capture.LinesWithoutNumbers());

    // Count minus one is the last parameter added.
    ASSERT_EQ(1, m_pInteraction->GetParam(1, &pszName, &pszValue));
    EXPECT_STREQ("last", pszName);
}

TEST_F(InteractionTest, CountAndGetWithoutPendingJob)
{
    LogCapture Capture;
    char* pszName = nullptr;
    char* pszValue = nullptr;
    EXPECT_EQ(0, m_pInteraction->GetParamCount());
    EXPECT_EQ(0, m_pInteraction->GetParam(0, &pszName, &pszValue));
    EXPECT_EQ((Lines{ProcessErrorLine("m_pTreadHttpClient", "NTarnInteraction::GetParam")}),
              Capture.LinesWithoutNumbers());
}

TEST_F(InteractionTest, ReleaseWithParametersPendingFreesThem)
{
    // Under AddressSanitizer a leak of any copy fails the run.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(1, m_pInteraction->AddParam(("name" + std::to_string(i)).c_str(),
                                              std::string(i * 10, 'v').c_str(), i % 2));
    EXPECT_EQ(100, m_pInteraction->GetParamCount());
    EXPECT_EQ(0, m_pInteraction->Release());
    EXPECT_EQ(nullptr, g_pInteraction);
}

namespace
{
struct MacroProbe
{
    static int Fails(int* pnLine)
    {
        int nResult = 0;
        *pnLine = __LINE__ + 1;
        NWLOG_PROCESS_ERROR(nResult == 1);
        nResult = 1;
    Exit0:
        return nResult;
    }
    static int Checks(int* pnLine)
    {
        *pnLine = __LINE__ + 1;
        NWLOG_CHECK_ERROR(1 + 1 == 3);
        return 1;
    }
};
} // namespace

TEST(LogMacroTest, LineCarriesConditionSourceLineAndQualifiedName)
{
    LogCapture Capture;
    int nFailLine = 0;
    int nCheckLine = 0;
    EXPECT_EQ(0, MacroProbe::Fails(&nFailLine));
    EXPECT_EQ(1, MacroProbe::Checks(&nCheckLine));
    const Lines Logged = Capture.Lines();
    ASSERT_EQ(2u, Logged.size());
    EXPECT_EQ("NWLOG_PROCESS_ERROR(nResult == 1) at line " + std::to_string(nFailLine) + " in " +
                  "{anonymous}::MacroProbe::Fails\n",
              Logged[0]);
    EXPECT_EQ("NWLOG_CHECK_ERROR(1 + 1 == 3) at line " + std::to_string(nCheckLine) + " in " +
                  "{anonymous}::MacroProbe::Checks\n",
              Logged[1]);
    EXPECT_EQ((std::vector<NWLOG_PRIORITY>{NWLOG_DEBUG, NWLOG_DEBUG}), Capture.Priorities());
}

TEST(LogMacroTest, QualifiedNameFromSignatures)
{
    EXPECT_STREQ(
        "NW_HttpClient::RequestPost",
        NWQualifiedFunctionName("int NW_HttpClient::RequestPost(const char*, const char*, int)").szName);
    EXPECT_STREQ("NTarnInteraction::NTreadHttpClient::~NTreadHttpClient",
                 NWQualifiedFunctionName("NTarnInteraction::NTreadHttpClient::~NTreadHttpClient()").szName);
    EXPECT_STREQ(
        "Holder<int>::Get",
        NWQualifiedFunctionName("std::vector<int, std::allocator<int> > Holder<int>::Get(int)").szName);
    EXPECT_STREQ("Free", NWQualifiedFunctionName("void Free()").szName);
}
