#include "TarnServer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>

namespace tarn
{
namespace
{
// The server library listens with a backlog of 5, which drops connections when hundreds of
// clients connect at once. Linux lets a second listen() on the same socket raise the backlog;
// find the library's listening socket by its port.
void RaiseListenBacklog(int nPort)
{
    for (int nFd = 0; nFd < 4096; ++nFd)
    {
        int nListening = 0;
        socklen_t uLength = sizeof(nListening);
        sockaddr_in Address{};
        socklen_t uAddressLength = sizeof(Address);
        if (getsockopt(nFd, SOL_SOCKET, SO_ACCEPTCONN, &nListening, &uLength) != 0 || !nListening)
            continue;
        if (getsockname(nFd, reinterpret_cast<sockaddr*>(&Address), &uAddressLength) == 0 &&
            Address.sin_family == AF_INET && ntohs(Address.sin_port) == nPort)
        {
            listen(nFd, SOMAXCONN);
            return;
        }
    }
}

std::uint64_t ParseCount(const std::string& Text)
{
    try
    {
        return std::stoull(Text);
    }
    catch (...)
    {
        return 0;
    }
}

// The pattern repeats every 64 KiB (byte i depends on i mod 256 and i / 256 mod 256). Two periods
// side by side let any piece of up to one period be sent straight from here, without building it.
constexpr size_t kPatternPeriod = 1 << 16;
const char* PatternTable()
{
    static const std::string Table = PatternBytes(2 * kPatternPeriod);
    return Table.data();
}

// Streams N pattern bytes without building them all at once.
void SetPatternContent(httplib::Response& Res, std::uint64_t uCount, bool bChunked)
{
    auto Provide = [uCount](size_t uOffset, size_t uLength, httplib::DataSink& Sink)
    {
        const size_t uEnd = static_cast<size_t>(std::min<std::uint64_t>(uCount, uOffset + uLength));
        for (size_t uAt = uOffset; uAt < uEnd;)
        {
            const size_t uPiece = std::min(uEnd - uAt, kPatternPeriod);
            if (!Sink.write(PatternTable() + uAt % kPatternPeriod, uPiece))
                return false;
            uAt += uPiece;
        }
        return true;
    };
    if (!bChunked && uCount == 0)
    {
        // A provider of length 0 goes out with no Content-Length at all, leaving the client to wait
        // for the connection to close; an empty content is sent with "Content-Length: 0".
        Res.set_content(std::string(), "application/octet-stream");
        return;
    }
    if (!bChunked)
    {
        Res.set_content_provider(static_cast<size_t>(uCount), "application/octet-stream",
                                 [Provide](size_t uOffset, size_t uLength, httplib::DataSink& Sink)
                                 { return Provide(uOffset, std::min<size_t>(uLength, 1 << 16), Sink); });
        return;
    }
    auto uSent = std::make_shared<std::uint64_t>(0);
    Res.set_chunked_content_provider("application/octet-stream",
                                     [uCount, uSent, Provide](size_t, httplib::DataSink& Sink)
                                     {
                                         if (*uSent >= uCount)
                                         {
                                             Sink.done();
                                             return true;
                                         }
                                         const size_t uLength = static_cast<size_t>(
                                             std::min<std::uint64_t>(uCount - *uSent, 50000));
                                         const bool bOk = Provide(static_cast<size_t>(*uSent), uLength, Sink);
                                         *uSent += uLength;
                                         return bOk;
                                     });
}
} // namespace

void TarnServer::ServerDeleter::operator()(httplib::Server* pServer) const
{
    delete pServer;
}

TarnServer::TarnServer() : m_pServer(new httplib::Server) {}

TarnServer::~TarnServer()
{
    Stop();
}

std::string TarnServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

std::vector<ReceivedForm> TarnServer::Forms() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_Forms;
}

size_t TarnServer::RequestCount() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_uRequests;
}

void TarnServer::Install()
{
    httplib::Server& Svr = *m_pServer;
    // Room for many clients at once: the tests keep a thousand requests in flight. One request per
    // connection, so no worker waits on an idle keep-alive connection.
    // A kept connection holds a worker while it waits idle, hence the larger pool then.
    const size_t uThreads = m_bKeepAlive ? 256 : 48;
    Svr.new_task_queue = [uThreads] { return new httplib::ThreadPool(uThreads); };
    Svr.set_keep_alive_max_count(m_bKeepAlive ? 100 : 1);
    Svr.set_keep_alive_timeout(2);
    // The head and the body go out in separate writes; without this the body of an answer on a
    // kept connection waits for the client's delayed acknowledgement of the head (40 ms).
    Svr.set_tcp_nodelay(true);
    Svr.set_pre_routing_handler(
        [this](const httplib::Request&, httplib::Response&)
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            ++m_uRequests;
            return httplib::Server::HandlerResponse::Unhandled;
        });
    Svr.Get(R"(/bytes/(\d+))", [](const httplib::Request& Req, httplib::Response& Res)
            { SetPatternContent(Res, ParseCount(Req.matches[1]), Req.get_param_value("chunked") == "1"); });
    Svr.Get(R"(/status/(\d+))",
            [](const httplib::Request& Req, httplib::Response& Res)
            {
                Res.status = static_cast<int>(ParseCount(Req.matches[1]));
                Res.set_content("status " + std::string(Req.matches[1]) + "\n", "text/plain");
            });
    Svr.Get(R"(/delay/(\d+))",
            [](const httplib::Request& Req, httplib::Response& Res)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(ParseCount(Req.matches[1])));
                if (Req.has_param("bytes"))
                    SetPatternContent(Res, ParseCount(Req.get_param_value("bytes")), false);
                else
                    Res.set_content("delayed", "text/plain");
            });
    Svr.Get(R"(/redirect/(\d+))", [](const httplib::Request& Req, httplib::Response& Res)
            { Res.set_redirect("/bytes/" + std::string(Req.matches[1]), 302); });
    Svr.Get(R"(/echo.*)", [](const httplib::Request& Req, httplib::Response& Res)
            { Res.set_content(Req.target, "text/plain"); });
    Svr.Get("/headers",
            [](const httplib::Request& Req, httplib::Response& Res)
            {
                std::string Text;
                for (const auto& Header : Req.headers)
                    if (Header.first != "REMOTE_ADDR" && Header.first != "REMOTE_PORT" &&
                        Header.first != "LOCAL_ADDR" && Header.first != "LOCAL_PORT")
                        Text += Header.first + ": " + Header.second + "\n";
                Res.set_content(Text, "text/plain");
            });
    Svr.Get("/forms",
            [this](const httplib::Request&, httplib::Response& Res)
            {
                std::lock_guard<std::mutex> Lock(m_Mutex);
                Res.set_content(EncodeForms(m_uRequests, m_Forms), "application/octet-stream");
            });
    Svr.Post("/upload",
             [this](const httplib::Request& Req, httplib::Response& Res, const httplib::ContentReader& Reader)
             {
                 ReceivedForm Form;
                 Form.Path = Req.path;
                 Form.ContentTypeHeader = Req.get_header_value("Content-Type");
                 if (Req.is_multipart_form_data())
                 {
                     Form.bParsed = Reader(
                         [&Form](const httplib::MultipartFormData& Header)
                         {
                             Form.Parts.push_back(
                                 FormPart{Header.name, Header.filename, Header.content_type, std::string()});
                             return true;
                         },
                         [&Form](const char* pData, size_t uLength)
                         {
                             if (!Form.Parts.empty())
                                 Form.Parts.back().Content.append(pData, uLength);
                             return true;
                         });
                 }
                 else
                 {
                     Reader([](const char*, size_t) { return true; });
                 }
                 if (!Form.bParsed)
                 {
                     Res.status = 400;
                     Res.set_content("not a multipart form\n", "text/plain");
                 }
                 else
                     Res.set_content(DescribeForm(Form), "text/plain");
                 std::lock_guard<std::mutex> Lock(m_Mutex);
                 m_Forms.push_back(std::move(Form));
             });
}

int TarnServer::Start(int nPort)
{
    Install();
    if (nPort == 0)
        m_nPort = m_pServer->bind_to_any_port("127.0.0.1");
    else
        m_nPort = m_pServer->bind_to_port("127.0.0.1", nPort) ? nPort : -1;
    if (m_nPort <= 0)
    {
        m_nPort = 0;
        return 0;
    }
    RaiseListenBacklog(m_nPort);
    m_Thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // listen_after_bind returns at once if stop() ran first; wait until it is accepting.
    while (!m_pServer->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return m_nPort;
}

void TarnServer::Stop()
{
    if (m_Thread.joinable())
    {
        m_pServer->stop();
        m_Thread.join();
    }
}
} // namespace tarn
