// The TLS fault matrix: one GET (or POST) through the interface to each faulty HTTPS server
// (tests/tls), the same table on Linux and under Wine. Each row is judged on exactly one callback,
// the row's error code, how long it took and a prompt Release.
#include "DeliveryLog.h"
#include "LogCapture.h"
#include "NTarnInteraction.h"
#include "NW_HttpClient.h"
#include "TlsServers.h"
#include "Wine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
using tarn::test::TlsServers;

TlsServers& Servers()
{
    return tarn::test::SharedTlsServers();
}

struct TlsCase
{
    const char* cszFault;
    int nError;          // the failed transfer's error code; 0: it succeeds with "ok"
    int nWineError = -1; // the code under Wine, where it differs
    const char* cszWineDiffers = nullptr;
    bool bPost = false; // a POST to "https://host:port" instead of a GET
};

const std::vector<TlsCase>& TlsCases()
{
    static const std::vector<TlsCase> s_Cases = {
        {"Good", 0},
        {"SelfSigned", 12045},
        {"UnknownCa", 12045, 12057,
         "Wine's WinINet reports a chain whose issuer it cannot find as a failed revocation check "
         "(ERROR_INTERNET_SEC_CERT_REV_FAILED)"},
        {"WrongHost", 12038},
        {"Expired", 12037},
        {"NotYetValid", 12037},
        {"ClientCertRequired", 12044, 12157,
         "Wine's WinINet sends no certificate and reports the server's refusal as a failed secure channel"},
        {"NoHandshake", 12002},
        {"PlainHttp", 12157},
        {"CloseNotifyBody", 0, 12030,
         "Wine's WinINet does not take close_notify for the end of a body without a length and waits for "
         "the connection to close until the receive time-out"},
        {"AddressCert", 0, 12038, "Wine's WinINet checks a certificate's names only, never its IP addresses"},
        {"OldTlsOnly", 12157, 0,
         "Wine's WinINet still offers TLS 1.0 and 1.1, which OpenSSL's defaults refuse"},
        {"Good", 0, -1, nullptr, true},
        {"WrongHost", 12038, -1, nullptr, true},
    };
    return s_Cases;
}

// A stalled handshake fails at the receive time-out. On Linux the layer ends it; under Wine the
// library's own deadline does, as Wine's WinINet bounds no handshake.
std::vector<std::string> StalledLines(const std::string& Url)
{
    std::vector<std::string> Lines;
    if (tarn::test::RunningUnderWine())
        Lines.push_back("NWLOG_PROCESS_ERROR(bInTime) at line N in NW_SendWatch::Send\n");
    Lines.push_back("NWLOG_PROCESS_ERROR(m_hHttpRequest) at line N in NW_HttpClient::RequestGet\n");
    Lines.push_back("Failed to download `" + Url + "`, Error Code 12002.");
    Lines.push_back("Response status code : 0\n");
    return Lines;
}

// The longest a GET may take: its receive time-out, and a second.
const auto kGetLimit = std::chrono::seconds(11);

class TlsMatrixTest : public testing::TestWithParam<TlsCase>
{
};
} // namespace

TEST_P(TlsMatrixTest, OneCallbackWithTheRightCodeWithinTheLimitAndAPromptRelease)
{
    const TlsCase& Case = GetParam();
    ASSERT_EQ("", Servers().Error);
    const bool bWine = tarn::test::RunningUnderWine();
    const int nError = bWine && Case.nWineError != -1 ? Case.nWineError : Case.nError;
    const std::string Host = std::string(Case.cszFault) == "AddressCert" ? "127.0.0.1" : "localhost";
    const std::string Server = "https://" + Host + ":" + std::to_string(Servers().Ports[Case.cszFault]);
    const std::string Url = Server + "/fault";
    if (bWine && Case.cszWineDiffers != nullptr)
        std::printf("Under Wine: %s\n", Case.cszWineDiffers);

    DeliveryLog::Clear();
    LogCapture Capture;
    ITarnInteraction* pInteraction = CreateTarnInteraction();
    ASSERT_NE(nullptr, pInteraction);
    const auto Start = std::chrono::steady_clock::now();
    if (Case.bPost)
    {
        ASSERT_EQ(1, pInteraction->AddParam("field", "value", 0));
    }
    ASSERT_EQ(1, Case.bPost
                     ? pInteraction->Request(Case.cszFault, Server.c_str(), "/fault", "1", 80,
                                             &DeliveryLog::OnRequest)
                     : pInteraction->Request(Case.cszFault, Url.c_str(), "", "", 0, &DeliveryLog::OnRequest));
    const OneRequestEnd End = DeliverThenRelease(pInteraction, Start);
    const auto Took = End.Took;
    EXPECT_LT(End.ReleaseTook, std::chrono::seconds(2));

    ASSERT_TRUE(End.bDelivered) << "no callback";
    EXPECT_LT(Took, kGetLimit);
    ASSERT_EQ(1u, DeliveryLog::Items().size());
    const Delivery& Item = DeliveryLog::Items()[0];
    const std::vector<std::string> Lines = Capture.LinesWithoutNumbers();
    EXPECT_EQ(nError == 0 ? 1 : 0, Item.bResult) << testing::PrintToString(Lines);
    if (nError == 0)
    {
        EXPECT_EQ("ok", Item.Data);
        return;
    }
    if (std::string(Case.cszFault) == "NoHandshake")
    {
        EXPECT_GE(Took, std::chrono::seconds(10));
        EXPECT_EQ(StalledLines(Url), Lines);
    }
    const std::string Download = std::string(Case.bPost ? "Failed to upload `" : "Failed to download `") +
                                 Url + "`, Error Code " + std::to_string(nError) + ".";
    EXPECT_NE(Lines.end(), std::find(Lines.begin(), Lines.end(), Download)) << Download;
}

INSTANTIATE_TEST_SUITE_P(TlsFaults, TlsMatrixTest, testing::ValuesIn(TlsCases()),
                         [](const testing::TestParamInfo<TlsCase>& Info)
                         { return std::string(Info.param.cszFault) + (Info.param.bPost ? "Post" : ""); });

#if !defined(_WIN32)
// A CA file that cannot be read fails the request as a secure channel error, and the log names it.
TEST(TlsTrustTest, UnreadableCaFileIsNamed)
{
    ASSERT_EQ("", Servers().Error);
    const std::string Trusted = std::getenv("CURL_CA_BUNDLE");
    setenv("CURL_CA_BUNDLE", "/nonexistent/ca.pem", 1);
    const std::string Url = "https://localhost:" + std::to_string(Servers().Ports["Good"]) + "/";
    NW_HttpClient Client;
    LogCapture Capture;
    EXPECT_EQ(0, Client.RequestGet(Url.c_str(), ""));
    setenv("CURL_CA_BUNDLE", Trusted.c_str(), 1);
    EXPECT_EQ((std::vector<std::string>{
                  "NWLOG_PROCESS_ERROR(m_hHttpRequest) at line N in NW_HttpClient::RequestGet\n",
                  "Failed to download `" + Url + "`, Error Code 12157.", "Response status code : 0\n",
                  "Response info : cannot read the CA file `/nonexistent/ca.pem` named by CURL_CA_BUNDLE\n"}),
              Capture.LinesWithoutNumbers());
}
#endif
