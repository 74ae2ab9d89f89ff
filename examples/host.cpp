// A minimal TarnInteraction host: a POST of a text field and a file, a GET, a loop that polls until
// both are delivered, then Release.
//
//   example_host SERVER PORT [FILE]    for instance, against tarn_server --port 8080:
//   example_host 127.0.0.1 8080        (FILE defaults to the program itself)
#include <TarnInteraction/ITarnInteraction.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace
{
// Poll returns nothing: the host counts its deliveries itself.
int g_nDelivered = 0;
int g_nSucceeded = 0;

// Runs inside Poll, on this thread. The tag and the bytes live until we return: copy what we keep.
void OnDone(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    ++g_nDelivered;
    g_nSucceeded += bResult ? 1 : 0;
    std::printf("%s: %s, %u bytes\n", pszTag, bResult ? "ok" : "failed", uSize);
    if (bResult)
        std::fwrite(pbyData, 1, uSize, stdout); // tarn_server answers in text
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s SERVER PORT [FILE]\n", argv[0]);
        return 2;
    }
    const char* pszServer = argv[1];
    const int nPort = std::atoi(argv[2]);
    const char* pszFile = argc > 3 ? argv[3] : argv[0];
    std::printf("built with TarnInteraction %s\n", TARNINTERACTION_VERSION);

    ITarnInteraction* pInteraction = CreateTarnInteraction();
    if (pInteraction == nullptr)
        return 1;

    // The parameters go with the next request; the file is read when that request runs.
    int nStarted = 0;
    pInteraction->AddParam("player", "alice", 0);
    pInteraction->AddParam("replay", pszFile, 1);
    nStarted += pInteraction->Request("upload", pszServer, "/upload", "POST", nPort, &OnDone);
    // An empty post flag makes a GET of the two texts joined.
    const std::string Address = "http://" + std::string(pszServer) + ":" + std::to_string(nPort);
    nStarted += pInteraction->Request("motd", Address.c_str(), "/echo/hello", "", 0, &OnDone);

    // The host's main loop: each Poll delivers at most one finished request.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_nDelivered < nStarted && std::chrono::steady_clock::now() < Deadline)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the rest of the frame
    }

    pInteraction->Release(); // waits for requests still running; their callbacks are not called
    return nStarted == 2 && g_nSucceeded == nStarted ? 0 : 1;
}
