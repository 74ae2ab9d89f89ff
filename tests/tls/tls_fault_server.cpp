// tls_fault_server: the TLS fault matrix's servers, natively beside Wine. Writes the CA's
// certificate to the file given, prints one "<fault> <port>" line per fault and a last line
// "ready", then serves until SIGTERM or SIGINT.
#include "TlsFaultServer.h"

#include <csignal>
#include <cstdio>

#include <pthread.h>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: tls_fault_server CA-FILE\n");
        return 2;
    }
    // Blocked before the serving thread starts, so that only sigwait takes them.
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGTERM);
    sigaddset(&Stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);
    tarn::test::TlsFaultServer Server(argv[1]);
    if (!Server.Error().empty())
    {
        std::fprintf(stderr, "tls_fault_server: %s\n", Server.Error().c_str());
        return 1;
    }
    for (int n = 0; n < static_cast<int>(tarn::test::TlsFault::Count); ++n)
    {
        const auto eFault = static_cast<tarn::test::TlsFault>(n);
        std::printf("%s %d\n", tarn::test::TlsFaultName(eFault), Server.Port(eFault));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int nSignal = 0;
    sigwait(&Stop, &nSignal);
    return 0;
}
