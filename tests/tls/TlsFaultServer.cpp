#include "TlsFaultServer.h"

#include "TestCertificates.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace tarn
{
namespace test
{
namespace
{
const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
const char kUnframed[] = "HTTP/1.0 200 OK\r\nServer: tls\r\n\r\nok";
const char kBadRequest[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Reads a request's head and the body its Content-Length announces, so that a POST is answered only
// once it arrived whole. False when the connection ends or stalls first.
bool ReadRequest(SSL* pSsl)
{
    std::string Request;
    char szBuffer[4096];
    size_t uHeadEnd = std::string::npos;
    size_t uLength = 0;
    while (uHeadEnd == std::string::npos || Request.size() < uHeadEnd + 4 + uLength)
    {
        const int nRead = SSL_read(pSsl, szBuffer, sizeof(szBuffer));
        if (nRead <= 0)
            return false;
        Request.append(szBuffer, static_cast<size_t>(nRead));
        if (uHeadEnd != std::string::npos || (uHeadEnd = Request.find("\r\n\r\n")) == std::string::npos)
            continue;
        std::string Head = Request.substr(0, uHeadEnd);
        for (char& c : Head)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t uField = Head.find("\r\ncontent-length:");
        if (uField != std::string::npos)
            uLength = std::strtoul(Head.c_str() + uField + 17, nullptr, 10);
    }
    return true;
}

using Identity = CertIdentity;

// A certificate for Name (its CN and, unless a CA, its one subject alternative name, "DNS:..." or
// "IP:..."), valid from nFromDays to nToDays around now, signed by pIssuer (itself when null).
Identity MakeIdentity(const char* pszName, bool bCa, long nFromDays, long nToDays, const Identity* pIssuer,
                      const char* pszSanKind = "DNS:")
{
    return MakeCertIdentity(pszName, bCa, nFromDays, nToDays, pIssuer,
                            (std::string(pszSanKind) + pszName).c_str());
}

int Listen(int* pnPort)
{
    const int nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLength = sizeof(Address);
    if (nFd < 0 || bind(nFd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 ||
        listen(nFd, 64) != 0 || getsockname(nFd, reinterpret_cast<sockaddr*>(&Address), &uLength) != 0)
    {
        if (nFd >= 0)
            close(nFd);
        return -1;
    }
    *pnPort = ntohs(Address.sin_port);
    return nFd;
}
} // namespace

const char* TlsFaultName(TlsFault eFault)
{
    static const char* const s_Names[] = {"Good",      "SelfSigned",      "UnknownCa",          "WrongHost",
                                          "Expired",   "NotYetValid",     "ClientCertRequired", "NoHandshake",
                                          "PlainHttp", "CloseNotifyBody", "AddressCert",        "OldTlsOnly"};
    static_assert(sizeof(s_Names) / sizeof(s_Names[0]) == static_cast<size_t>(TlsFault::Count),
                  "a name each");
    return s_Names[static_cast<size_t>(eFault)];
}

struct TlsFaultServer::Impl
{
    std::vector<int> Listeners;
    std::vector<SSL_CTX*> Contexts; // null for the faults that speak no TLS
    std::vector<int> Silent;        // connections of NoHandshake, kept open
    ~Impl()
    {
        for (int nFd : Listeners)
            if (nFd >= 0)
                close(nFd);
        for (int nFd : Silent)
            close(nFd);
        for (SSL_CTX* pCtx : Contexts)
            SSL_CTX_free(pCtx);
    }
};

TlsFaultServer::TlsFaultServer(const std::string& CaPath) : m_pImpl(new Impl)
{
    const size_t uCount = static_cast<size_t>(TlsFault::Count);
    const Identity Ca = MakeIdentity("Tarn Test CA", true, -1, 30, nullptr);
    const Identity OtherCa = MakeIdentity("Tarn Unknown CA", true, -1, 30, nullptr);
    Identity Certs[uCount];
    Certs[0] = MakeIdentity("localhost", false, -1, 30, &Ca);
    Certs[1] = MakeIdentity("localhost", false, -1, 30, nullptr);
    Certs[2] = MakeIdentity("localhost", false, -1, 30, &OtherCa);
    Certs[3] = MakeIdentity("wrong.invalid", false, -1, 30, &Ca);
    Certs[4] = MakeIdentity("localhost", false, -30, -1, &Ca);
    Certs[5] = MakeIdentity("localhost", false, 1, 30, &Ca);
    Certs[6] = MakeIdentity("localhost", false, -1, 30, &Ca);
    Certs[9] = MakeIdentity("localhost", false, -1, 30, &Ca);
    Certs[10] = MakeIdentity("127.0.0.1", false, -1, 30, &Ca, "IP:");
    Certs[11] = MakeIdentity("localhost", false, -1, 30, &Ca);
    FILE* pFile = std::fopen(CaPath.c_str(), "w");
    if (!Ca.pCert || pFile == nullptr || PEM_write_X509(pFile, Ca.pCert.get()) != 1)
        m_Error = "cannot make the CA or write " + CaPath;
    if (pFile != nullptr)
        std::fclose(pFile);
    m_Ports.assign(uCount, 0);
    for (size_t u = 0; u < uCount && m_Error.empty(); ++u)
    {
        m_pImpl->Listeners.push_back(Listen(&m_Ports[u]));
        SSL_CTX* pCtx = nullptr;
        const TlsFault eFault = static_cast<TlsFault>(u);
        if (eFault != TlsFault::NoHandshake && eFault != TlsFault::PlainHttp)
        {
            pCtx = SSL_CTX_new(TLS_server_method());
            if (pCtx == nullptr || !Certs[u].pCert ||
                SSL_CTX_use_certificate(pCtx, Certs[u].pCert.get()) != 1 ||
                SSL_CTX_use_PrivateKey(pCtx, Certs[u].pKey.get()) != 1)
                m_Error = std::string("cannot set up ") + TlsFaultName(static_cast<TlsFault>(u));
        }
        if (pCtx != nullptr && eFault == TlsFault::OldTlsOnly)
        {
            SSL_CTX_set_security_level(pCtx, 0);
            SSL_CTX_set_min_proto_version(pCtx, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(pCtx, TLS1_1_VERSION);
            SSL_CTX_set_cipher_list(pCtx, "DEFAULT@SECLEVEL=0");
        }
        if (pCtx != nullptr && eFault == TlsFault::ClientCertRequired)
        {
            X509_STORE_add_cert(SSL_CTX_get_cert_store(pCtx), Ca.pCert.get());
            SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
        m_pImpl->Contexts.push_back(pCtx);
        if (m_pImpl->Listeners.back() < 0)
            m_Error = "cannot listen on 127.0.0.1";
    }
    if (m_Error.empty())
        m_Thread = std::thread([this] { Serve(); });
}

TlsFaultServer::~TlsFaultServer()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    delete m_pImpl;
}

// One connection at a time: the rows run one after another, and each exchange is bounded.
void TlsFaultServer::Serve()
{
    // A client that leaves mid-exchange makes a write fail with EPIPE here, not end the process.
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
    std::vector<pollfd> Polled;
    for (int nFd : m_pImpl->Listeners)
        Polled.push_back(pollfd{nFd, POLLIN, 0});
    while (!m_bStop)
    {
        if (poll(Polled.data(), Polled.size(), 100) <= 0)
            continue;
        for (size_t u = 0; u < Polled.size(); ++u)
        {
            if ((Polled[u].revents & POLLIN) == 0)
                continue;
            const int nFd = accept4(Polled[u].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (nFd < 0)
                continue;
            const TlsFault eFault = static_cast<TlsFault>(u);
            if (eFault == TlsFault::NoHandshake)
            {
                m_pImpl->Silent.push_back(nFd);
                continue;
            }
            const timeval Wait{2, 0};
            setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof(Wait));
            setsockopt(nFd, SOL_SOCKET, SO_SNDTIMEO, &Wait, sizeof(Wait));
            if (eFault == TlsFault::PlainHttp)
            {
                char szBuffer[4096];
                if (recv(nFd, szBuffer, sizeof(szBuffer), 0) > 0)
                    send(nFd, kBadRequest, sizeof(kBadRequest) - 1, MSG_NOSIGNAL);
                close(nFd);
                continue;
            }
            SSL* pSsl = SSL_new(m_pImpl->Contexts[u]);
            SSL_set_fd(pSsl, nFd);
            const bool bUnframed = eFault == TlsFault::CloseNotifyBody;
            if (SSL_accept(pSsl) == 1 && ReadRequest(pSsl))
            {
                if (bUnframed)
                    SSL_write(pSsl, kUnframed, sizeof(kUnframed) - 1);
                else
                    SSL_write(pSsl, kReply, sizeof(kReply) - 1);
                SSL_shutdown(pSsl);
            }
            SSL_free(pSsl);
            ERR_clear_error();
            // An unframed body ends at close_notify alone: the connection stays open.
            if (bUnframed)
                m_pImpl->Silent.push_back(nFd);
            else
                close(nFd);
        }
    }
    // OpenSSL keeps state for each thread (errors, random generators) until told the thread ends.
    OPENSSL_thread_stop();
}
} // namespace test
} // namespace tarn
