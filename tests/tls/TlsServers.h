#pragma once
// Where the TLS fault matrix finds its servers. On Linux they run in the test process (TlsFaultServer)
// and the layer trusts their CA through CURL_CA_BUNDLE. Under Wine, tls_fault_server runs natively
// beside it (scripts/wine-check.sh starts it and names its port list and CA file in
// TARN_TLS_FAULT_SERVERS and TARN_TLS_FAULT_CA), and the CA goes into the current user's root store of
// the private prefix, which Wine's WinINet trusts.
#include <map>
#include <string>

namespace tarn
{
namespace test
{
struct TlsServers
{
    std::map<std::string, int> Ports; // by fault name ("Good", "NoHandshake", ...)
    std::string Error;                // empty when the servers can be reached and their CA is trusted
};

// Started (or found) on first use, for the whole test program.
TlsServers& SharedTlsServers();
} // namespace test
} // namespace tarn
