// tarn::TarnServer for the Windows tests under Wine. The server library is not built for Windows
// here, so the suites use a native tarn_server that the Wine run starts beside them and names in
// TARN_TEST_SERVER_PORT; what it parsed comes back through its GET /forms.
#include "TarnServer.h"
#include "TestSockets.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace tarn
{
namespace
{
// The body of GET /forms, or "" when the server cannot be read.
std::string FetchForms(int nPort)
{
    const std::string Reply = test::HttpExchange(nPort, "GET /forms HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const size_t uBody = Reply.find("\r\n\r\n");
    if (Reply.compare(0, 12, "HTTP/1.1 200") != 0 || uBody == std::string::npos)
        return std::string();
    return Reply.substr(uBody + 4);
}

bool ReadServer(int nPort, size_t* puRequests, std::vector<ReceivedForm>* pForms)
{
    const bool bOk = nPort > 0 && DecodeForms(FetchForms(nPort), puRequests, pForms);
    if (!bOk)
        std::fprintf(stderr, "tarn_server on port %d cannot be read\n", nPort);
    return bOk;
}
} // namespace

void TarnServer::ServerDeleter::operator()(httplib::Server*) const {}

TarnServer::TarnServer() = default;

TarnServer::~TarnServer()
{
    Stop();
}

std::string TarnServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

int TarnServer::Start(int nPort)
{
    const char* pszPort = std::getenv("TARN_TEST_SERVER_PORT");
    const int nGiven = pszPort != nullptr ? std::atoi(pszPort) : 0;
    if (nGiven <= 0 || (nPort != 0 && nPort != nGiven))
    {
        std::fprintf(stderr, "TARN_TEST_SERVER_PORT names no tarn_server to use\n");
        return 0;
    }
    // Forms from earlier suites stay on the shared server; this one sees only its own.
    std::vector<ReceivedForm> Earlier;
    size_t uRequests = 0;
    if (!ReadServer(nGiven, &uRequests, &Earlier))
        return 0;
    // m_Forms and m_uRequests hold what came before this Start: placeholders and the count.
    m_nPort = nGiven;
    m_uRequests = uRequests;
    m_Forms.resize(Earlier.size());
    return m_nPort;
}

void TarnServer::Stop() {}

std::vector<ReceivedForm> TarnServer::Forms() const
{
    std::vector<ReceivedForm> Forms;
    size_t uRequests = 0;
    if (!ReadServer(m_nPort, &uRequests, &Forms))
        return {};
    Forms.erase(Forms.begin(),
                Forms.begin() + static_cast<std::ptrdiff_t>(std::min(m_Forms.size(), Forms.size())));
    return Forms;
}

size_t TarnServer::RequestCount() const
{
    std::vector<ReceivedForm> Forms;
    size_t uRequests = 0;
    // Reads of GET /forms, this one included, count as requests too.
    return ReadServer(m_nPort, &uRequests, &Forms) ? uRequests - m_uRequests : 0;
}

void TarnServer::Install() {}
} // namespace tarn
