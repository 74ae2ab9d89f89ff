#pragma once
// TlsFaultServer: HTTPS servers on 127.0.0.1 with one fault each, for the TLS fault matrix. Linux
// only (OpenSSL); the Windows tests under Wine reach the same servers run natively beside Wine by
// tls_fault_server.
//
// At construction it makes a local CA and the certificates, for the name "localhost" (one for the
// address 127.0.0.1), and
// writes the CA's certificate (PEM) to a file that clients are told to trust. Nothing is read from
// disk. Each fault listens on a port of its own until destruction.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tarn
{
namespace test
{
enum class TlsFault
{
    Good,               // a certificate the local CA signed for localhost
    SelfSigned,         // signed by itself
    UnknownCa,          // signed by a CA the client does not trust
    WrongHost,          // the local CA's, for another name
    Expired,            // the local CA's, valid until yesterday
    NotYetValid,        // the local CA's, valid from tomorrow
    ClientCertRequired, // the good certificate; the server demands the client's own
    NoHandshake,        // accepts the connection and never answers
    PlainHttp,          // plain HTTP: answers whatever comes with a 400 and closes
    CloseNotifyBody,    // an HTTP/1.0 body without a length, ended by close_notify; TCP stays open
    AddressCert,        // the local CA's, for the address 127.0.0.1 rather than a name
    OldTlsOnly,         // the good certificate over TLS 1.0 and 1.1 only
    Count
};

const char* TlsFaultName(TlsFault eFault);

class TlsFaultServer
{
public:
    // The CA's certificate goes to CaPath.
    explicit TlsFaultServer(const std::string& CaPath);
    ~TlsFaultServer();

    TlsFaultServer(const TlsFaultServer&) = delete;
    TlsFaultServer& operator=(const TlsFaultServer&) = delete;

    // Empty when the servers are running; otherwise what went wrong.
    const std::string& Error() const { return m_Error; }
    int Port(TlsFault eFault) const { return m_Ports[static_cast<size_t>(eFault)]; }

private:
    struct Impl;
    void Serve();

    Impl* m_pImpl = nullptr;
    std::string m_Error;
    std::vector<int> m_Ports;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};
} // namespace test
} // namespace tarn
