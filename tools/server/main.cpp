// tarn_server: the demo and test server as a program of its own. Binds 127.0.0.1 only.
#include "TarnServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace
{
volatile std::sig_atomic_t g_bStop = 0;
void OnSignal(int)
{
    g_bStop = 1;
}

const char kUsage[] = "usage: tarn_server [--port N] [--keep-alive]\n";

const char kHelp[] =
    "\n"
    "A loopback HTTP server for trying tarn and hosts out. It binds 127.0.0.1 only, on port N (0, the\n"
    "default: any free port), prints \"listening on http://127.0.0.1:PORT\" and serves until\n"
    "interrupted. --keep-alive keeps connections for up to 100 requests each.\n"
    "\n"
    "Routes:\n"
    "  GET  /bytes/N[?chunked=1]  N bytes of a fixed pattern, with a length or chunked\n"
    "  GET  /status/N             status N with a short text body\n"
    "  GET  /delay/MS[?bytes=N]   waits MS milliseconds, then answers 200 (\"delayed\", or N bytes)\n"
    "  GET  /redirect/N           302 to /bytes/N\n"
    "  GET  /echo...              the request target as received (path and query)\n"
    "  GET  /headers              the request's headers, one \"Name: value\" line each\n"
    "  GET  /forms                the forms received so far, encoded for test programs\n"
    "  POST /upload               parses the multipart form and answers one line per part:\n"
    "                             name=<n> filename=<f> size=<bytes> fnv1a=<64-bit FNV-1a, hex>\n"
    "Anything else is answered 404.\n";
} // namespace

int main(int argc, char** argv)
{
    int nPort = 0;
    bool bKeepAlive = false;
    for (int i = 1; i < argc; ++i)
    {
        char* pszEnd = nullptr;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
        {
            std::printf("%s%s", kUsage, kHelp);
            return 0;
        }
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
        {
            const long nValue = std::strtol(argv[++i], &pszEnd, 10);
            if (*argv[i] == '\0' || *pszEnd != '\0' || nValue < 0 || nValue > 65535)
            {
                std::fprintf(stderr, "tarn_server: port must be a number from 0 to 65535\n%s", kUsage);
                return 2;
            }
            nPort = static_cast<int>(nValue);
        }
        else if (std::strcmp(argv[i], "--keep-alive") == 0)
            bKeepAlive = true;
        else
        {
            std::fprintf(stderr, "%sTry 'tarn_server --help' for its routes.\n", kUsage);
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    tarn::TarnServer Server;
    if (bKeepAlive)
        Server.EnableKeepAlive();
    if (Server.Start(nPort) == 0)
    {
        std::fprintf(stderr, "tarn_server: cannot bind 127.0.0.1:%d\n", nPort);
        return 1;
    }
    std::printf("listening on %s\n", Server.BaseUrl().c_str());
    std::fflush(stdout);
    while (!g_bStop)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Server.Stop();
    return 0;
}
