// The WinINet layer under faults: time-outs, refused and unresolvable hosts, connections that
// break, replies that are no HTTP, certificates, bad arguments and handles, proxies, and many
// transfers at once.
#include "WinInetLayerTestUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>
#include <thread>

namespace wininet_test
{
namespace
{
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

// --- Time-outs -----------------------------------------------------------------------------------

// The time-out limits each wait: a body that keeps coming, never pausing as long as the
// time-out, succeeds however long it takes in all.
TEST_F(WinInetTest, SteadyDripOutlastsTheTimeout)
{
    ScriptedReply Reply = ScriptedReply::Drip(1200, 100, 100);
    Reply.nHeadDelayMs = 100;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 600);
    const Clock::time_point Start = Clock::now();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/drip"));
    ASSERT_TRUE(Request) << GetLastError();
    const ReadOutcome Outcome = ReadAll(Request.get());
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_EQ(Outcome.Body, tarn::PatternBytes(1200));
    EXPECT_GT(MillisecondsSince(Start), 600); // longer than the time-out in all
}

TEST_F(WinInetTest, PauseInTheBodyLongerThanTheTimeoutFailsTheRead)
{
    m_Server.Enqueue(ScriptedReply::Drip(300, 100, 1500));
    Handle Session = OpenSession();
    SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 200);
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/stall"));
    ASSERT_TRUE(Request) << GetLastError();
    const ReadOutcome Outcome = ReadAll(Request.get());
    EXPECT_FALSE(Outcome.bOk);
    EXPECT_EQ(Outcome.dwError, ERROR_INTERNET_TIMEOUT);
    EXPECT_EQ(Outcome.Body, tarn::PatternBytes(100)); // what came before the pause
    // The failure stays.
    char Byte;
    DWORD dwRead = 0;
    EXPECT_FALSE(InternetReadFile(Request.get(), &Byte, 1, &dwRead));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
}

// A POST never hangs: a server that stops reading the body times out the write (a silent one is
// in the table below).
TEST_F(WinInetTest, ServerThatStopsReadingTimesOutTheWrite)
{
    m_Server.Enqueue(ScriptedReply::NeverAnswer(false));
    Handle Session = OpenSession();
    SetTimeout(Session.get(), INTERNET_OPTION_SEND_TIMEOUT, 300);
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server), "/p", std::string(64u << 20, 'x'));
    EXPECT_EQ(Outcome.FailedAt, "InternetWriteFile");
    EXPECT_EQ(Outcome.dwError, ERROR_INTERNET_TIMEOUT);
}

// Time-outs set on a session reach what is opened from it afterwards; one set on a request
// handle counts for that request.
TEST_F(WinInetTest, TimeoutSetOnAnyHandleReachesTheRequest)
{
    m_Server.SetDefaultReply(ScriptedReply::NeverAnswer());
    Handle Session = OpenSession();
    SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 200);
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle Request(HttpOpenRequestA(Connection.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(Request);
    ASSERT_TRUE(HttpSendRequestExA(Request.get(), nullptr, nullptr, 0, 0)) << GetLastError();
    EXPECT_FALSE(HttpEndRequestA(Request.get(), nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);

    Handle Slow(HttpOpenRequestA(Connection.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    SetTimeout(Slow.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 700);
    ASSERT_TRUE(HttpSendRequestExA(Slow.get(), nullptr, nullptr, 0, 0)) << GetLastError();
    const Clock::time_point Start = Clock::now();
    EXPECT_FALSE(HttpEndRequestA(Slow.get(), nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
    EXPECT_GE(MillisecondsSince(Start), 600);
}

// A listener whose backlog is full leaves new connections unanswered, so the connect time-out
// runs out; that is a failure to connect.
TEST_F(WinInetTest, ConnectTimeoutIsAFailureToConnect)
{
    const int nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(nListen, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLength = sizeof(Address);
    ASSERT_EQ(::bind(nListen, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)), 0);
    ASSERT_EQ(::listen(nListen, 0), 0);
    ASSERT_EQ(::getsockname(nListen, reinterpret_cast<sockaddr*>(&Address), &uLength), 0);
    std::vector<int> Fillers;
    const auto TryConnect = [&]() -> bool
    {
        const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        Fillers.push_back(nFd);
        ::connect(nFd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
        pollfd Poll{nFd, POLLOUT, 0};
        return ::poll(&Poll, 1, 200) > 0;
    };
    bool bStalled = false;
    for (int i = 0; i < 16 && !bStalled; ++i)
        bStalled = !TryConnect();
    if (bStalled)
    {
        Handle Session = OpenSession();
        SetTimeout(Session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, 300);
        const Clock::time_point Start = Clock::now();
        Handle Request =
            OpenUrl(Session.get(), "http://127.0.0.1:" + std::to_string(ntohs(Address.sin_port)) + "/");
        EXPECT_FALSE(Request);
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
        EXPECT_LT(MillisecondsSince(Start), 10000);
    }
    for (int nFd : Fillers)
        ::close(nFd);
    ::close(nListen);
    if (!bStalled)
        GTEST_SKIP() << "this system answers connections beyond the backlog";
}

// --- Requests that get no usable answer ----------------------------------------------------------

// A GET fails at InternetOpenUrlA with the error; a POST with the same error where it waits for the
// answer: HttpSendRequestExA when there is no connection, HttpEndRequestA when the head is bad.
enum class Target
{
    RefusedPort,
    UnresolvableName,
    Server // the scripted server, with the case's reply
};

struct NoAnswerCase
{
    const char* pszName;
    Target eTarget;
    ScriptedReply (*pfnReply)(); // for Target::Server
    DWORD dwError;
    const char* pszPostFailsAt; // null: the case is for GET alone
    DWORD dwReceiveTimeoutMs;   // 0: the default
};

class WinInetNoAnswerTest : public WinInetTest, public ::testing::WithParamInterface<NoAnswerCase>
{
};

TEST_P(WinInetNoAnswerTest, GetAndPostFailWithTheError)
{
    const NoAnswerCase& Case = GetParam();
    std::string Host = "127.0.0.1";
    int nPort = m_Server.Port();
    if (Case.eTarget == Target::RefusedPort)
        nPort = ScriptedServer::RefusedPort();
    else if (Case.eTarget == Target::UnresolvableName)
        Host = "nosuchhost.invalid", nPort = 80;
    else
        m_Server.SetDefaultReply(Case.pfnReply());
    ASSERT_NE(nPort, 0);
    Handle Session = OpenSession();
    if (Case.dwReceiveTimeoutMs != 0)
        SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, Case.dwReceiveTimeoutMs);

    const Clock::time_point Start = Clock::now();
    Handle Request = OpenUrl(Session.get(), "http://" + Host + ":" + std::to_string(nPort) + "/");
    EXPECT_FALSE(Request);
    EXPECT_EQ(GetLastError(), Case.dwError);
    // A time-out ends the wait after about its length, far below the 60 s default.
    EXPECT_GE(MillisecondsSince(Start), Case.dwReceiveTimeoutMs * 5 / 6);
    EXPECT_LT(MillisecondsSince(Start), 10000);
    // A redirect loop is given up after at most 25 requests.
    EXPECT_LE(m_Server.RequestCount(), 25u);
    if (Case.pszPostFailsAt == nullptr)
        return;
    const PostOutcome Outcome =
        PostLikeTheLibrary(Session.get(), Host.c_str(), static_cast<INTERNET_PORT>(nPort), "/", "body");
    EXPECT_EQ(Outcome.FailedAt, Case.pszPostFailsAt);
    EXPECT_EQ(Outcome.dwError, Case.dwError);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WinInetNoAnswerTest,
    ::testing::Values(
        NoAnswerCase{"RefusedPort", Target::RefusedPort, nullptr, ERROR_INTERNET_CANNOT_CONNECT,
                     "HttpSendRequestExA", 0},
        NoAnswerCase{"UnresolvableName", Target::UnresolvableName, nullptr, ERROR_INTERNET_NAME_NOT_RESOLVED,
                     "HttpSendRequestExA", 0},
        NoAnswerCase{"SilentServer", Target::Server, [] { return ScriptedReply::NeverAnswer(); },
                     ERROR_INTERNET_TIMEOUT, "HttpEndRequestA", 300},
        NoAnswerCase{"ClosedBeforeAnyReply", Target::Server, [] { return ScriptedReply::CloseBeforeReply(); },
                     ERROR_INTERNET_CONNECTION_ABORTED, "HttpEndRequestA", 0},
        NoAnswerCase{"GarbageInsteadOfAHead", Target::Server, [] { return ScriptedReply::Garbage(); },
                     ERROR_HTTP_INVALID_SERVER_RESPONSE, "HttpEndRequestA", 0},
        NoAnswerCase{"BrokenStatusLine", Target::Server,
                     [] { return ScriptedReply::Raw("HTTP/1.1 abc Broken\r\nContent-Length: 0\r\n\r\n"); },
                     ERROR_HTTP_INVALID_SERVER_RESPONSE, "HttpEndRequestA", 0},
        NoAnswerCase{"EndlessRedirects", Target::Server, [] { return ScriptedReply::Redirect(302, "/"); },
                     ERROR_HTTP_REDIRECT_FAILED, nullptr, 0},
        NoAnswerCase{"RedirectToAnotherScheme", Target::Server,
                     [] { return ScriptedReply::Redirect(302, "ftp://127.0.0.1/file"); },
                     ERROR_HTTP_REDIRECT_FAILED, nullptr, 0}),
    [](const ::testing::TestParamInfo<NoAnswerCase>& Info) { return std::string(Info.param.pszName); });

// --- Broken connections --------------------------------------------------------------------------

class WinInetClosedMidBodyTest : public WinInetTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(WinInetClosedMidBodyTest, ReadFailsAfterTheBytesThatCame)
{
    ScriptedReply Reply = ScriptedReply::Pattern(100000, GetParam());
    Reply.nCloseAfterBodyBytes = 50000;
    m_Server.Enqueue(Reply);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/cut"));
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(StatusOf(Request.get()), 200u);
    const ReadOutcome Outcome = ReadAll(Request.get());
    EXPECT_FALSE(Outcome.bOk);
    EXPECT_EQ(Outcome.dwError, ERROR_INTERNET_CONNECTION_ABORTED);
    EXPECT_EQ(Outcome.Body, tarn::PatternBytes(50000));
}

INSTANTIATE_TEST_SUITE_P(Framing, WinInetClosedMidBodyTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& Info)
                         { return Info.param ? "Chunked" : "Length"; });

// --- Addresses -----------------------------------------------------------------------------------

class WinInetSchemeTest : public WinInetTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(WinInetSchemeTest, OnlyHttpAndHttpsAreTaken)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), GetParam());
    EXPECT_FALSE(Request);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    EXPECT_EQ(m_Server.ConnectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Addresses, WinInetSchemeTest,
                         ::testing::Values("ftp://127.0.0.1/file", "file:///etc/hostname",
                                           "gopher://127.0.0.1/", "nosuchscheme://127.0.0.1/",
                                           "127.0.0.1/no-scheme", ""));

class WinInetMalformedUrlTest : public WinInetTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(WinInetMalformedUrlTest, IsAnInvalidUrl)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), GetParam());
    EXPECT_FALSE(Request);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_URL);
}

INSTANTIATE_TEST_SUITE_P(Addresses, WinInetMalformedUrlTest,
                         ::testing::Values("http://", "http:/127.0.0.1/", "http://127.0.0.1:99999/",
                                           "https://127.0.0.1:port/"));

// InternetCrackUrlA, as the library's GET uses it: the parts, or the error the GET fails with.
TEST(WinInetCrackUrlTest, GivesThePartsTheGetConnectsWith)
{
    struct Case
    {
        const char* pszUrl;
        DWORD dwError;
        INTERNET_SCHEME nScheme;
        const char* pszHost;
        INTERNET_PORT nPort;
        const char* pszUser;
        const char* pszPassword;
        const char* pszPath;
    };
    const Case Cases[] = {
        {"HTTPS://u:p:w@Host.example/a b?q=1#f", 0, INTERNET_SCHEME_HTTPS, "Host.example", 443, "u", "p:w",
         "/a%20b?q=1"},
        {"http://[::1]:8080", 0, INTERNET_SCHEME_HTTP, "::1", 8080, "", "", "/"},
        {"http://h/a/../b:c@d", 0, INTERNET_SCHEME_HTTP, "h", 80, "", "", "/a/../b:c@d"},
        {"ftp://h/x", 0, INTERNET_SCHEME_FTP, "h", 21, "", "", "/x"},
        {"127.0.0.1/no-scheme", ERROR_INTERNET_UNRECOGNIZED_SCHEME, INTERNET_SCHEME_UNKNOWN, "", 0, "", "",
         ""},
        {"mailto:a@b", ERROR_INTERNET_UNRECOGNIZED_SCHEME, INTERNET_SCHEME_UNKNOWN, "", 0, "", "", ""},
        {"http://", ERROR_INTERNET_INVALID_URL, INTERNET_SCHEME_UNKNOWN, "", 0, "", "", ""},
        {"http:/h/", ERROR_INTERNET_INVALID_URL, INTERNET_SCHEME_UNKNOWN, "", 0, "", "", ""},
        {"http://h:99999/", ERROR_INTERNET_INVALID_URL, INTERNET_SCHEME_UNKNOWN, "", 0, "", "", ""},
    };
    for (const Case& Expected : Cases)
    {
        char szHost[64] = "", szUser[16] = "", szPassword[16] = "", szPath[64] = "";
        URL_COMPONENTSA Parts = {};
        Parts.dwStructSize = sizeof(Parts);
        Parts.lpszHostName = szHost;
        Parts.dwHostNameLength = sizeof(szHost);
        Parts.lpszUserName = szUser;
        Parts.dwUserNameLength = sizeof(szUser);
        Parts.lpszPassword = szPassword;
        Parts.dwPasswordLength = sizeof(szPassword);
        Parts.lpszUrlPath = szPath;
        Parts.dwUrlPathLength = sizeof(szPath);
        const BOOL bOk = InternetCrackUrlA(Expected.pszUrl, 0, 0, &Parts);
        EXPECT_EQ(Expected.dwError == 0, bOk != FALSE) << Expected.pszUrl;
        if (!bOk)
        {
            EXPECT_EQ(Expected.dwError, GetLastError()) << Expected.pszUrl;
            continue;
        }
        EXPECT_EQ(Expected.nScheme, Parts.nScheme) << Expected.pszUrl;
        EXPECT_EQ(Expected.nPort, Parts.nPort) << Expected.pszUrl;
        EXPECT_EQ(std::string(Expected.pszHost) + "|" + Expected.pszUser + "|" + Expected.pszPassword + "|" +
                      Expected.pszPath,
                  std::string(szHost) + "|" + szUser + "|" + szPassword + "|" + szPath);
    }
    // A part that does not fit copies nothing and says what it needs.
    char szHost[4] = "";
    URL_COMPONENTSA Parts = {};
    Parts.dwStructSize = sizeof(Parts);
    Parts.lpszHostName = szHost;
    Parts.dwHostNameLength = sizeof(szHost);
    EXPECT_FALSE(InternetCrackUrlA("http://host/", 0, 0, &Parts));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(5u, Parts.dwHostNameLength);
}

// Spaces are sent escaped, the fragment is not sent, the scheme may be in capitals.
TEST_F(WinInetTest, AddressIsCleanedUpAsWinInetDoes)
{
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), "HTTP://127.0.0.1:" + std::to_string(m_Server.Port()) +
                                                "/a path/file?q=x y#frag");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(m_Server.Requests().at(0).RequestLine, "GET /a%20path/file?q=x%20y HTTP/1.1");
}

// --- Certificates --------------------------------------------------------------------------------

// Serves TLS on loopback with a certificate it made and signed itself, which no CA vouches for.
// A client that trusts the certificate gets "hello" in answer to its request.
class SelfSignedTlsServer
{
public:
    SelfSignedTlsServer()
    {
        EVP_PKEY* pKey = EVP_EC_gen("P-256");
        X509* pCert = X509_new();
        if (pKey == nullptr || pCert == nullptr)
            return;
        ASN1_INTEGER_set(X509_get_serialNumber(pCert), 1);
        X509_gmtime_adj(X509_getm_notBefore(pCert), -60);
        X509_gmtime_adj(X509_getm_notAfter(pCert), 3600);
        X509_set_pubkey(pCert, pKey);
        X509_NAME* pName = X509_get_subject_name(pCert);
        X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(pCert, pName);
        X509_set_version(pCert, 2);
        for (const auto& Extension : {std::make_pair(NID_subject_alt_name, "IP:127.0.0.1"),
                                      std::make_pair(NID_basic_constraints, "CA:TRUE")})
        {
            X509_EXTENSION* pExtension =
                X509V3_EXT_conf_nid(nullptr, nullptr, Extension.first, Extension.second);
            X509_add_ext(pCert, pExtension, -1);
            X509_EXTENSION_free(pExtension);
        }
        X509_sign(pCert, pKey, EVP_sha256());
        BIO* pPem = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(pPem, pCert);
        char* pszPem = nullptr;
        m_Pem.assign(pszPem, static_cast<size_t>(BIO_get_mem_data(pPem, &pszPem)));
        BIO_free(pPem);
        char szHash[16];
        std::snprintf(szHash, sizeof(szHash), "%08lx.0", X509_subject_name_hash(pCert));
        m_HashedName = szHash;
        m_pContext = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(m_pContext, pCert);
        SSL_CTX_use_PrivateKey(m_pContext, pKey);
        X509_free(pCert);
        EVP_PKEY_free(pKey);

        m_nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t uLength = sizeof(Address);
        if (::bind(m_nListen, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 ||
            ::listen(m_nListen, 8) != 0 ||
            ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&Address), &uLength) != 0)
            return;
        m_nPort = ntohs(Address.sin_port);
        m_Thread = std::thread([this] { Serve(); });
    }

    ~SelfSignedTlsServer()
    {
        m_bStop = true;
        if (m_Thread.joinable())
            m_Thread.join();
        if (m_nListen >= 0)
            ::close(m_nListen);
        SSL_CTX_free(m_pContext);
    }

    int Port() const { return m_nPort; }
    int Handshakes() const { return m_nHandshakes; }
    const std::string& CertificatePem() const { return m_Pem; }
    const std::string& HashedName() const { return m_HashedName; } // its name in a hashed directory

private:
    void Serve()
    {
        // A client that has its answer may leave before the close_notify: a write then fails
        // with EPIPE instead of ending the test process.
        sigset_t Pipe;
        sigemptyset(&Pipe);
        sigaddset(&Pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
        while (!m_bStop)
        {
            pollfd Poll{m_nListen, POLLIN, 0};
            if (::poll(&Poll, 1, 50) <= 0)
                continue;
            const int nFd = ::accept(m_nListen, nullptr, nullptr);
            if (nFd < 0)
                continue;
            timeval Limit{2, 0};
            ::setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof(Limit));
            ::setsockopt(nFd, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof(Limit));
            SSL* pSsl = SSL_new(m_pContext);
            SSL_set_fd(pSsl, nFd);
            ++m_nHandshakes;
            if (SSL_accept(pSsl) == 1) // a client that trusts the certificate
                Answer(pSsl);
            SSL_free(pSsl);
            ERR_clear_error();
            ::close(nFd);
        }
    }

    static void Answer(SSL* pSsl)
    {
        std::string Head;
        char Buffer[1024];
        int nRead = 0;
        while (Head.find("\r\n\r\n") == std::string::npos &&
               (nRead = SSL_read(pSsl, Buffer, sizeof(Buffer))) > 0)
            Head.append(Buffer, static_cast<size_t>(nRead));
        const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
        SSL_write(pSsl, Reply.data(), static_cast<int>(Reply.size()));
        SSL_shutdown(pSsl);
    }

    std::string m_Pem;
    std::string m_HashedName;
    SSL_CTX* m_pContext = nullptr;
    int m_nListen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nHandshakes{0};
    std::thread m_Thread;
};

TEST_F(WinInetTest, CertificateFromAnUnknownAuthorityIsRefused)
{
    SelfSignedTlsServer Server;
    ASSERT_NE(Server.Port(), 0);
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), "https://127.0.0.1:" + std::to_string(Server.Port()) + "/");
    EXPECT_FALSE(Request);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_CA);
    EXPECT_GE(Server.Handshakes(), 1);

    // The same through InternetConnectA with INTERNET_FLAG_SECURE.
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()),
                                       nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    Handle Post(HttpOpenRequestA(Connection.get(), "POST", "/", "HTTP/1.0", nullptr, nullptr,
                                 kPostFlags | INTERNET_FLAG_SECURE, 0));
    ASSERT_TRUE(Post);
    EXPECT_FALSE(HttpSendRequestExA(Post.get(), nullptr, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_CA);
}

// As the curl tool and OpenSSL: SSL_CERT_FILE names a PEM file and SSL_CERT_DIR a hashed directory of
// trusted certificates; CURL_CA_BUNDLE, when set, is the only file used.
TEST_F(WinInetTest, CertificatesNamedByTheEnvironmentAreTrusted)
{
    SelfSignedTlsServer Server;
    ASSERT_NE(Server.Port(), 0);
    char szDir[] = "/tmp/tarn-trust-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string Dir = szDir;
    const std::string File = Dir + "/" + Server.HashedName();
    std::ofstream(File) << Server.CertificatePem();
    const std::string Empty = Dir + "/empty.pem";
    std::ofstream(Empty).close();

    auto Get = [&]
    {
        Handle Session = OpenSession();
        Handle Request = OpenUrl(Session.get(), "https://127.0.0.1:" + std::to_string(Server.Port()) + "/");
        if (!Request)
            return "error " + std::to_string(GetLastError());
        return ReadAll(Request.get()).Body;
    };
    m_Env.Set("CURL_CA_BUNDLE", nullptr);
    m_Env.Set("SSL_CERT_DIR", nullptr);
    m_Env.Set("SSL_CERT_FILE", File.c_str());
    EXPECT_EQ(Get(), "hello");
    m_Env.Set("CURL_CA_BUNDLE", Empty.c_str());
    EXPECT_NE(Get(), "hello");
    m_Env.Set("CURL_CA_BUNDLE", nullptr);
    m_Env.Set("SSL_CERT_FILE", nullptr);
    m_Env.Set("SSL_CERT_DIR", Dir.c_str());
    EXPECT_EQ(Get(), "hello");

    ::unlink(File.c_str());
    ::unlink(Empty.c_str());
    ::rmdir(Dir.c_str());
}

// --- Arguments and handles -----------------------------------------------------------------------

TEST_F(WinInetTest, NullClosedAndUnknownHandlesAreInvalid)
{
    Handle Session = OpenSession();
    HINTERNET hClosed = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(hClosed, nullptr);
    ASSERT_TRUE(InternetCloseHandle(hClosed));
    HINTERNET hMadeUp = reinterpret_cast<HINTERNET>(static_cast<std::uintptr_t>(0x12345678));
    char Buffer[8];
    DWORD dwCount = sizeof(Buffer);
    DWORD dwValue = 1000;

    for (HINTERNET hBad : {static_cast<HINTERNET>(nullptr), hClosed, hMadeUp})
    {
        SetLastError(0);
        EXPECT_FALSE(InternetSetOptionA(hBad, INTERNET_OPTION_RECEIVE_TIMEOUT, &dwValue, 4));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(InternetConnectA(hBad, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
                  nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(HttpOpenRequestA(hBad, "GET", "/", nullptr, nullptr, nullptr, 0, 0), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(InternetOpenUrlA(hBad, "http://127.0.0.1/", nullptr, 0, 0, 0), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(HttpAddRequestHeadersA(hBad, "X: 1\r\n", static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(HttpSendRequestExA(hBad, nullptr, nullptr, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(InternetWriteFile(hBad, "x", 1, &dwCount));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(HttpEndRequestA(hBad, nullptr, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(HttpQueryInfoA(hBad, HTTP_QUERY_STATUS_CODE, Buffer, &dwCount, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(InternetReadFile(hBad, Buffer, sizeof(Buffer), &dwCount));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(InternetCloseHandle(hBad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(WinInetTest, HandlesOfTheWrongKindAreRefused)
{
    Handle Session = OpenSession();
    Handle Connection(InternetConnectA(Session.get(), "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    ASSERT_TRUE(Connection);
    HINTERNET hSession = Session.get();
    HINTERNET hConnection = Connection.get();
    char Buffer[8];
    DWORD dwCount = sizeof(Buffer);

    EXPECT_EQ(InternetConnectA(hConnection, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(HttpOpenRequestA(hSession, "GET", "/", nullptr, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(InternetOpenUrlA(hConnection, m_Server.Url("/").c_str(), nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(HttpAddRequestHeadersA(hSession, "X: 1\r\n", static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(HttpSendRequestExA(hConnection, nullptr, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(InternetWriteFile(hConnection, "x", 1, &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(HttpEndRequestA(hSession, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(HttpQueryInfoA(hConnection, HTTP_QUERY_STATUS_CODE, Buffer, &dwCount, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(InternetReadFile(hSession, Buffer, sizeof(Buffer), &dwCount));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(m_Server.ConnectionCount(), 0u);
}

TEST_F(WinInetTest, BadArgumentsAreInvalidParameters)
{
    EXPECT_EQ(InternetOpenA(kAgent, 2, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PROXY, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    Handle Session = OpenSession();
    EXPECT_EQ(InternetConnectA(Session.get(), "", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetConnectA(Session.get(), nullptr, 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetConnectA(Session.get(), "127.0.0.1", 21, nullptr, nullptr, INTERNET_SERVICE_FTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetOpenUrlA(Session.get(), nullptr, nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    Handle Request = OpenUrl(Session.get(), m_Server.Url("/"));
    ASSERT_TRUE(Request) << GetLastError();
    char Buffer[8];
    EXPECT_FALSE(InternetReadFile(Request.get(), Buffer, sizeof(Buffer), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD dwRead = 0;
    EXPECT_FALSE(InternetReadFile(Request.get(), nullptr, 8, &dwRead));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A request opened from an address is read-only.
    EXPECT_FALSE(InternetWriteFile(Request.get(), "x", 1, &dwRead));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(
        HttpAddRequestHeadersA(Request.get(), "X: 1\r\n", static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

TEST_F(WinInetTest, OptionsAreCheckedForKindAndLength)
{
    Handle Session = OpenSession();
    DWORD dwValue = 1000;
    EXPECT_FALSE(InternetSetOptionA(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &dwValue, 2));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_BAD_OPTION_LENGTH);
    EXPECT_FALSE(InternetSetOptionA(Session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &dwValue, 8));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_BAD_OPTION_LENGTH);
    EXPECT_FALSE(InternetSetOptionA(Session.get(), INTERNET_OPTION_SEND_TIMEOUT, nullptr, 4));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(InternetSetOptionA(Session.get(), 9999, &dwValue, 4));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
    for (DWORD dwOption :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        EXPECT_TRUE(InternetSetOptionA(Session.get(), dwOption, &dwValue, 4));
}

// Closing a session leaves what was opened from it usable until it is closed itself; closing
// twice fails.
TEST_F(WinInetTest, ClosingTheSessionFirstLeavesItsRequestUsable)
{
    HINTERNET hSession = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET hConnection = InternetConnectA(hSession, "127.0.0.1", PortOf(m_Server), nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET hRequest = HttpOpenRequestA(hConnection, "GET", "/late", nullptr, nullptr, nullptr, 0, 0);
    ASSERT_NE(hRequest, nullptr);
    ASSERT_TRUE(InternetCloseHandle(hSession));
    ASSERT_TRUE(HttpSendRequestExA(hRequest, nullptr, nullptr, 0, 0)) << GetLastError();
    ASSERT_TRUE(HttpEndRequestA(hRequest, nullptr, 0, 0)) << GetLastError();
    EXPECT_EQ(StatusOf(hRequest), 200u);
    EXPECT_EQ(ReadAll(hRequest).Body, "ok");
    EXPECT_TRUE(InternetCloseHandle(hRequest));
    EXPECT_TRUE(InternetCloseHandle(hConnection));
    EXPECT_FALSE(InternetCloseHandle(hConnection));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Closing a request on another thread ends a read that is waiting on it.
TEST_F(WinInetTest, CloseFromAnotherThreadEndsAWaitingRead)
{
    m_Server.Enqueue(ScriptedReply::Drip(300, 100, 20000));
    Handle Session = OpenSession();
    HINTERNET hRequest = InternetOpenUrlA(Session.get(), m_Server.Url("/").c_str(), nullptr, 0, 0, 0);
    ASSERT_NE(hRequest, nullptr) << GetLastError();
    char Buffer[200];
    DWORD dwRead = 0;
    ASSERT_TRUE(InternetReadFile(hRequest, Buffer, 100, &dwRead));
    ASSERT_EQ(dwRead, 100u);

    std::thread Closer(
        [hRequest]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_TRUE(InternetCloseHandle(hRequest));
        });
    const Clock::time_point Start = Clock::now();
    EXPECT_FALSE(InternetReadFile(hRequest, Buffer, sizeof(Buffer), &dwRead));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    EXPECT_LT(MillisecondsSince(Start), 10000);
    Closer.join();
    EXPECT_FALSE(InternetReadFile(hRequest, Buffer, sizeof(Buffer), &dwRead));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(WinInetTest, LastErrorBelongsToTheThread)
{
    SetLastError(1234);
    std::thread Other(
        []
        {
            EXPECT_FALSE(InternetCloseHandle(nullptr));
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        });
    Other.join();
    EXPECT_EQ(GetLastError(), 1234u);
}

// --- Proxies -------------------------------------------------------------------------------------

// INTERNET_OPEN_TYPE_PRECONFIG takes http_proxy: the proxy gets the absolute address, and the
// origin's name is never looked up here.
TEST_F(WinInetTest, ProxyFromTheEnvironmentGetsTheAbsoluteAddress)
{
    ScriptedServer Proxy;
    Proxy.Enqueue(ScriptedReply::Ok("from proxy"));
    m_Env.Set("http_proxy", Proxy.Url("").c_str());
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), "http://origin.invalid:8080/path?q=1");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(ReadAll(Request.get()).Body, "from proxy");
    const CapturedRequest Got = Proxy.Requests().at(0);
    EXPECT_EQ(Got.RequestLine, "GET http://origin.invalid:8080/path?q=1 HTTP/1.1");
    EXPECT_EQ(Got.Header("Host"), "origin.invalid:8080");

    // The POST goes the same way, with its body.
    const PostOutcome Outcome = PostLikeTheLibrary(Session.get(), "origin.invalid", 8080, "/upload", "data");
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    const CapturedRequest Post = Proxy.Requests().at(1);
    EXPECT_EQ(Post.RequestLine, "POST http://origin.invalid:8080/upload HTTP/1.0");
    EXPECT_EQ(Post.Body, "data");
}

TEST_F(WinInetTest, NoProxyAndDirectAccessBypassTheProxy)
{
    ScriptedServer Proxy;
    m_Env.Set("http_proxy", Proxy.Url("").c_str());
    m_Env.Set("no_proxy", "127.0.0.1");
    Handle Session = OpenSession();
    Handle Request = OpenUrl(Session.get(), m_Server.Url("/direct"));
    ASSERT_TRUE(Request) << GetLastError();
    m_Env.Set("no_proxy", nullptr);
    Handle Direct = OpenSession(INTERNET_OPEN_TYPE_DIRECT);
    Handle Second = OpenUrl(Direct.get(), m_Server.Url("/direct2"));
    ASSERT_TRUE(Second) << GetLastError();
    EXPECT_EQ(m_Server.RequestCount(), 2u);
    EXPECT_EQ(Proxy.RequestCount(), 0u);
}

TEST_F(WinInetTest, ExplicitProxyListIsUsed)
{
    ScriptedServer Proxy;
    const std::string List = "https=127.0.0.1:1 http=127.0.0.1:" + std::to_string(Proxy.Port());
    Handle Session = OpenSession(INTERNET_OPEN_TYPE_PROXY, kAgent, List.c_str(), "*.bypass.invalid;<local>");
    ASSERT_TRUE(Session) << GetLastError();
    Handle Request = OpenUrl(Session.get(), "http://origin.invalid/x");
    ASSERT_TRUE(Request) << GetLastError();
    EXPECT_EQ(Proxy.Requests().at(0).RequestLine, "GET http://origin.invalid/x HTTP/1.1");
}

// --- Many at once --------------------------------------------------------------------------------

// Fifty threads, each with its own handles, each a GET (by length or chunked) and a POST. The
// servers here serve each connection on a thread of its own, so all transfers overlap.
TEST_F(WinInetTest, ManyTransfersAtOnce)
{
    constexpr int kThreads = 50;
    constexpr std::uint64_t kGetBytes = 150000;
    ScriptedServer ByLength;
    ScriptedServer Chunked;
    ByLength.SetDefaultReply(ScriptedReply::Pattern(kGetBytes));
    Chunked.SetDefaultReply(ScriptedReply::Pattern(kGetBytes, true));
    const std::string Expected = tarn::PatternBytes(kGetBytes);
    std::atomic<int> nGood{0};
    std::vector<std::thread> Threads;
    for (int i = 0; i < kThreads; ++i)
        Threads.emplace_back(
            [&, i]
            {
                Handle Session = OpenSession();
                SetTimeout(Session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 30000);
                Handle Request = OpenUrl(Session.get(), (i % 2 ? Chunked : ByLength).Url("/get"));
                if (!Request || StatusOf(Request.get()) != 200)
                    return;
                const ReadOutcome Got = ReadAll(Request.get());
                Request.reset();
                if (!Got.bOk || Got.Body != Expected)
                    return;
                const std::string Object = "/t" + std::to_string(i);
                const PostOutcome Posted = PostLikeTheLibrary(Session.get(), "127.0.0.1", PortOf(m_Server),
                                                              Object.c_str(), BinaryBody(1000 + i));
                if (Posted.FailedAt.empty() && Posted.dwStatus == 200)
                    ++nGood;
            });
    for (std::thread& Thread : Threads)
        Thread.join();
    EXPECT_EQ(nGood.load(), kThreads);
    const std::vector<CapturedRequest> Requests = m_Server.Requests();
    ASSERT_EQ(Requests.size(), static_cast<size_t>(kThreads));
    for (const CapturedRequest& Got : Requests)
    {
        const int i = std::stoi(Got.Target.substr(2));
        EXPECT_TRUE(Got.Body == BinaryBody(1000 + static_cast<size_t>(i))) << Got.Target;
    }
}
} // namespace
} // namespace wininet_test
