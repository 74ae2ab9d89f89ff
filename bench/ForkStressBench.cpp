// Forks while the interaction has GETs in flight, and checks each child: it must finish a request
// of its own and Release within a bound, and must never deliver one of the parent's requests,
// finished or not when it forked. Prints forks, hangs, stray deliveries and the time taken.
//
// Usage: ForkStressBench [forks=1000] [in-flight=24]
// Exit status 0 when no child hung, strayed or failed its own request, and the parent delivered
// each of its requests exactly once.
#include "BenchServer.h"
#include "TarnInteraction/ITarnInteraction.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// How long a child may take for its own GET and Release before it counts as hung.
constexpr std::chrono::seconds kChildLimit(10);

// Exit statuses of a child.
constexpr int kChildOk = 0;
constexpr int kChildStray = 2;
constexpr int kChildOwnFailed = 3;

bool g_bInChild = false;
int g_nChildOwn = 0;
int g_nChildStray = 0;
std::vector<int> g_ParentDelivered; // per parent request: how many times it came back
int g_nParentFailed = 0;
int g_nInFlight = 0;

void OnDelivered(const char* pszTag, int bResult, const unsigned char*, unsigned int)
{
    if (g_bInChild)
    {
        if (std::strcmp(pszTag, "child") == 0)
            g_nChildOwn += bResult ? 1 : 0;
        else
            ++g_nChildStray;
        return;
    }
    const int nIndex = std::atoi(pszTag);
    if (nIndex >= 0 && static_cast<size_t>(nIndex) < g_ParentDelivered.size())
        ++g_ParentDelivered[static_cast<size_t>(nIndex)];
    g_nParentFailed += bResult ? 0 : 1;
    --g_nInFlight;
}

int RunChild(ITarnInteraction* pInteraction, const std::string& Base)
{
    g_bInChild = true;
    if (!pInteraction->Request("child", Base.c_str(), "/bytes/100", "", 0, &OnDelivered))
        return kChildOwnFailed;
    const Clock::time_point Until = Clock::now() + std::chrono::seconds(5);
    while (g_nChildOwn == 0 && Clock::now() < Until)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (int i = 0; i < 50; ++i) // whatever else it would deliver comes out now
        pInteraction->Poll();
    pInteraction->Release();
    if (g_nChildStray != 0)
        return kChildStray;
    return g_nChildOwn == 1 ? kChildOk : kChildOwnFailed;
}

// The child's exit status, or -1 when it had to be killed.
int AwaitChild(pid_t Child, ITarnInteraction* pInteraction)
{
    const Clock::time_point Until = Clock::now() + kChildLimit;
    int nStatus = 0;
    pid_t Done = 0;
    while ((Done = waitpid(Child, &nStatus, WNOHANG)) == 0 && Clock::now() < Until)
    {
        pInteraction->Poll(); // the parent goes on meanwhile
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (Done == 0)
    {
        kill(Child, SIGKILL);
        waitpid(Child, &nStatus, 0);
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}
} // namespace

int main(int argc, char** argv)
{
    const int nForks = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int nInFlight = argc > 2 ? std::atoi(argv[2]) : 24;

    pid_t ServerPid = 0;
    const int nPort = StartServerProcess(&ServerPid, true);
    if (nPort == 0)
    {
        std::fprintf(stderr, "the loopback server did not start\n");
        return 1;
    }
    const std::string Base = "http://127.0.0.1:" + std::to_string(nPort);
    ITarnInteraction* pInteraction = CreateTarnInteraction();

    int nHangs = 0;
    int nStrays = 0;
    int nOwnFailed = 0;
    const Clock::time_point Start = Clock::now();
    for (int nFork = 0; nFork < nForks; ++nFork)
    {
        // Short delays of several lengths, so that forks fall in every phase of a request:
        // starting, waiting for the answer, finished and not yet polled.
        while (g_nInFlight < nInFlight)
        {
            const std::string Tag = std::to_string(g_ParentDelivered.size());
            const std::string Path = "/delay/" + std::to_string(g_ParentDelivered.size() % 7);
            g_ParentDelivered.push_back(0);
            if (pInteraction->Request(Tag.c_str(), Base.c_str(), Path.c_str(), "", 0, &OnDelivered))
                ++g_nInFlight;
        }
        pInteraction->Poll(); // one at most: others stay finished and undelivered
        const pid_t Child = fork();
        if (Child == 0)
            _exit(RunChild(pInteraction, Base));
        const int nStatus = Child < 0 ? kChildOwnFailed : AwaitChild(Child, pInteraction);
        nHangs += nStatus == -1 ? 1 : 0;
        nStrays += nStatus == kChildStray ? 1 : 0;
        nOwnFailed += nStatus == kChildOwnFailed ? 1 : 0;
    }
    const double dSeconds = std::chrono::duration<double>(Clock::now() - Start).count();

    const Clock::time_point Until = Clock::now() + std::chrono::seconds(30);
    while (g_nInFlight > 0 && Clock::now() < Until)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int nNotOnce = 0;
    for (int nCount : g_ParentDelivered)
        nNotOnce += nCount == 1 ? 0 : 1;
    pInteraction->Release();
    StopServerProcess(ServerPid);

    std::printf(
        "forks %d with %d GETs in flight: %d hung, %d delivered a parent's request, %d failed their own; "
        "%.1f s (%.1f ms a fork)\n",
        nForks, nInFlight, nHangs, nStrays, nOwnFailed, dSeconds, dSeconds * 1000.0 / nForks);
    std::printf("parent: %zu requests, %d not delivered exactly once, %d failed\n", g_ParentDelivered.size(),
                nNotOnce, g_nParentFailed);
    return nHangs + nStrays + nOwnFailed + nNotOnce + g_nParentFailed == 0 ? 0 : 1;
}
