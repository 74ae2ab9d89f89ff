#pragma once

// A small HTTP server on loopback for the demo, the tests and the benchmarks:
//   GET  /bytes/N[?chunked=1]  N bytes of a fixed pattern (PatternByte), with a length or chunked
//   GET  /status/N             status N with a short text body
//   GET  /delay/MS[?bytes=N]   waits MS milliseconds, then answers 200 ("delayed", or N pattern bytes)
//   GET  /redirect/N           302 to /bytes/N
//   GET  /echo...              the request target as received (path and query)
//   GET  /headers              the request's headers, one "Name: value" line each
//   GET  /forms                the forms received so far and the request count, as EncodeForms writes
//                              them (for test processes that cannot host the server themselves)
//   POST /upload               parses the multipart form with the server library's parser and answers
//                              one line per part: "name=<n> filename=<f> size=<s> fnv1a=<16 hex digits>"
#include "TarnPattern.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib
{
class Server;
}

namespace tarn
{
struct FormPart
{
    std::string Name;
    std::string FileName;
    std::string ContentType;
    std::string Content;
};

struct ReceivedForm
{
    std::string Path;
    std::string ContentTypeHeader;
    bool bParsed = false; // false when the body was not multipart or did not parse
    std::vector<FormPart> Parts;
};

class TarnServer
{
public:
    TarnServer();
    ~TarnServer();

    TarnServer(const TarnServer&) = delete;
    TarnServer& operator=(const TarnServer&) = delete;

    // Binds 127.0.0.1 (nPort 0: any free port) and serves on a thread of its own. Returns the
    // port, or 0 when it could not bind.
    int Start(int nPort = 0);
    void Stop();
    int Port() const { return m_nPort; }
    std::string BaseUrl() const; // "http://127.0.0.1:<port>"

    // Forms received by /upload so far, oldest first.
    std::vector<ReceivedForm> Forms() const;
    size_t RequestCount() const;

private:
    void Install();

    // The Windows test build reads a native server instead and never creates one of its own.
    struct ServerDeleter
    {
        void operator()(httplib::Server* pServer) const;
    };
    std::unique_ptr<httplib::Server, ServerDeleter> m_pServer;
    std::thread m_Thread;
    int m_nPort = 0;
    mutable std::mutex m_Mutex;
    std::vector<ReceivedForm> m_Forms;
    size_t m_uRequests = 0;
};

std::string DescribeForm(const ReceivedForm& Form);

// Forms as bytes and back; DecodeForms is false on text EncodeForms did not write.
std::string EncodeForms(size_t uRequests, const std::vector<ReceivedForm>& Forms);
bool DecodeForms(const std::string& Text, size_t* puRequests, std::vector<ReceivedForm>* pForms);
} // namespace tarn
