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
} // namespace

int main(int argc, char** argv)
{
    int nPort = 0;
    bool bKeepAlive = false;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            nPort = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--keep-alive") == 0)
            bKeepAlive = true;
        else
        {
            std::fprintf(stderr, "usage: tarn_server [--port N] [--keep-alive]\n");
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
