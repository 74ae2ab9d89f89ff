#include "BenchTlsServer.h"

#include "BenchSupport.h"
#include "TestCertificates.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace
{
using tarn::CertIdentity;
using tarn::MakeCertIdentity;

// The server's context, with a certificate that the CA written to CaPath signed; null on failure.
SSL_CTX* MakeContext(const std::string& CaPath)
{
    const CertIdentity Ca = MakeCertIdentity("Tarn Bench CA", true, -1, 7, nullptr);
    const CertIdentity Server =
        Ca.pCert ? MakeCertIdentity("127.0.0.1", false, -1, 7, &Ca, "IP:127.0.0.1,DNS:localhost")
                 : CertIdentity();
    FILE* pFile = std::fopen(CaPath.c_str(), "w");
    const bool bWritten = pFile != nullptr && Server.pCert && PEM_write_X509(pFile, Ca.pCert.get()) == 1;
    if (pFile != nullptr)
        std::fclose(pFile);
    SSL_CTX* pCtx = bWritten ? SSL_CTX_new(TLS_server_method()) : nullptr;
    if (pCtx != nullptr && (SSL_CTX_use_certificate(pCtx, Server.pCert.get()) != 1 ||
                            SSL_CTX_use_PrivateKey(pCtx, Server.pKey.get()) != 1))
    {
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    return pCtx;
}

bool SendAll(SSL* pSsl, const std::string& Text)
{
    return SSL_write(pSsl, Text.data(), static_cast<int>(Text.size())) == static_cast<int>(Text.size());
}

// Serves one connection's requests until the client closes it or sends something unknown.
void ServeTls(SSL* pSsl)
{
    std::vector<char> Buffer(64 * 1024);
    std::string Pending;
    while (true)
    {
        std::string Head;
        if (!ReadRequestHead([pSsl](char* pTo, size_t uMax)
                             { return static_cast<long>(SSL_read(pSsl, pTo, static_cast<int>(uMax))); },
                             Buffer, Pending, Head))
            return;
        if (!HeaderValue(Head, "Transfer-Encoding").empty())
            return;
        const unsigned long long ullLength =
            std::strtoull(HeaderValue(Head, "Content-Length").c_str(), nullptr, 10);
        while (Pending.size() < ullLength)
        {
            const int nRead = SSL_read(pSsl, Buffer.data(), static_cast<int>(Buffer.size()));
            if (nRead <= 0)
                return;
            Pending.append(Buffer.data(), static_cast<size_t>(nRead));
        }
        Pending.erase(0, static_cast<size_t>(ullLength));
        std::string Body;
        const size_t uPathAt = Head.find(' ') + 1;
        if (Head.compare(0, 4, "GET ") == 0 && Head.compare(uPathAt, 7, "/bytes/") == 0)
            Body.assign(std::strtoul(Head.c_str() + uPathAt + 7, nullptr, 10), 'x');
        else
            Body = std::to_string(ullLength) + "\n";
        // HTTP/1.0 clients keep the connection only when the answer says so.
        if (!SendAll(pSsl,
                     "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: keep-alive\r\n"
                     "Content-Length: " +
                         std::to_string(Body.size()) + "\r\n\r\n" + Body))
            return;
    }
}

void Serve(int nListen, SSL_CTX* pCtx, TlsServerCounts* pCounts)
{
    signal(SIGPIPE, SIG_IGN);
    while (true)
    {
        const int nFd = accept(nListen, nullptr, nullptr);
        if (nFd < 0)
            continue;
        __atomic_add_fetch(&pCounts->lConnections, 1, __ATOMIC_RELAXED);
        std::thread(
            [nFd, pCtx, pCounts]
            {
                const int nOne = 1;
                setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
                SSL* pSsl = SSL_new(pCtx);
                SSL_set_fd(pSsl, nFd);
                if (SSL_accept(pSsl) == 1)
                {
                    if (!SSL_session_reused(pSsl))
                        __atomic_add_fetch(&pCounts->lFullHandshakes, 1, __ATOMIC_RELAXED);
                    ServeTls(pSsl);
                }
                SSL_free(pSsl);
                close(nFd);
            })
            .detach();
    }
}
} // namespace

int StartTlsServerProcess(const std::string& CaPath, pid_t* pPid, const TlsServerCounts** ppCounts)
{
    void* pShared =
        mmap(nullptr, sizeof(TlsServerCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pShared == MAP_FAILED)
        return 0;
    TlsServerCounts* pCounts = new (pShared) TlsServerCounts();
    const int nListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLength = sizeof(Address);
    int rgnPipe[2] = {-1, -1};
    if (nListen < 0 || bind(nListen, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 ||
        listen(nListen, 256) != 0 ||
        getsockname(nListen, reinterpret_cast<sockaddr*>(&Address), &uLength) != 0 || pipe(rgnPipe) != 0)
    {
        if (nListen >= 0)
            close(nListen);
        munmap(pShared, sizeof(TlsServerCounts));
        return 0;
    }
    const pid_t Pid = fork();
    if (Pid == 0)
    {
        prctl(PR_SET_NAME, "bench-tls");
        close(rgnPipe[0]);
        SSL_CTX* pCtx = MakeContext(CaPath);
        const char cReady = pCtx != nullptr ? 1 : 0;
        if (write(rgnPipe[1], &cReady, 1) != 1 || pCtx == nullptr)
            _exit(1);
        close(rgnPipe[1]);
        Serve(nListen, pCtx, pCounts);
        _exit(0);
    }
    close(nListen);
    close(rgnPipe[1]);
    char cReady = 0;
    const bool bReady = Pid > 0 && read(rgnPipe[0], &cReady, 1) == 1 && cReady == 1;
    close(rgnPipe[0]);
    if (!bReady)
    {
        if (Pid > 0)
            StopTlsServerProcess(Pid, nullptr);
        munmap(pShared, sizeof(TlsServerCounts));
        return 0;
    }
    *pPid = Pid;
    *ppCounts = pCounts;
    return ntohs(Address.sin_port);
}

void StopTlsServerProcess(pid_t Pid, const TlsServerCounts* pCounts)
{
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    if (pCounts != nullptr)
        munmap(const_cast<TlsServerCounts*>(pCounts), sizeof(TlsServerCounts));
}
