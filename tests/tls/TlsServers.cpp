#include "TlsServers.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#include <wincrypt.h>
#else
#include "TlsFaultServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#endif

namespace tarn
{
namespace test
{
namespace
{
#if defined(_WIN32)
// The CA into the current user's root store of this (private) prefix.
std::string TrustCa(const std::string& CaPath)
{
    std::ifstream File(CaPath);
    const std::string Pem((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
    BYTE byDer[4096];
    DWORD dwDer = sizeof(byDer);
    if (!CryptStringToBinaryA(Pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, byDer, &dwDer, nullptr, nullptr))
        return "cannot read the CA in " + CaPath;
    HCERTSTORE hRoot = CertOpenSystemStoreA(0, "ROOT");
    const BOOL bAdded =
        hRoot != nullptr && CertAddEncodedCertificateToStore(hRoot, X509_ASN_ENCODING, byDer, dwDer,
                                                             CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (hRoot != nullptr)
        CertCloseStore(hRoot, 0);
    return bAdded ? "" : "cannot add the CA to the root store";
}

TlsServers Find()
{
    TlsServers Found;
    // "<fault> <port>" lines from tls_fault_server, ended by "ready".
    const char* pszList = std::getenv("TARN_TLS_FAULT_SERVERS");
    const char* pszCa = std::getenv("TARN_TLS_FAULT_CA");
    if (pszList == nullptr || pszCa == nullptr)
        return TlsServers{{},
                          "TARN_TLS_FAULT_SERVERS and TARN_TLS_FAULT_CA name no running tls_fault_server"};
    std::ifstream List(pszList);
    for (std::string Name; List >> Name && Name != "ready";)
        List >> Found.Ports[Name];
    Found.Error = TrustCa(pszCa);
    return Found;
}
#else
TlsServers Find()
{
    // One file a process: ctest runs each row in a process of its own, several at once.
    const std::string CaPath = testing::TempDir() + "tarn-tls-ca-" + std::to_string(getpid()) + ".pem";
    // Made in the initialiser, so that it goes before OpenSSL's own clean-up at exit, which its
    // construction registered.
    static const std::unique_ptr<TlsFaultServer> s_pServer = std::make_unique<TlsFaultServer>(CaPath);
    TlsServers Found;
    Found.Error = s_pServer->Error();
    for (int n = 0; n < static_cast<int>(TlsFault::Count); ++n)
        Found.Ports[TlsFaultName(static_cast<TlsFault>(n))] = s_pServer->Port(static_cast<TlsFault>(n));
    setenv("CURL_CA_BUNDLE", CaPath.c_str(), 1);
    return Found;
}
#endif
} // namespace

TlsServers& SharedTlsServers()
{
    static TlsServers s_Servers = Find();
    return s_Servers;
}
} // namespace test
} // namespace tarn
