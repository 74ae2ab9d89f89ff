// Peak resident memory of `tarn get -o FILE` for large bodies: tarn writes each body straight
// from the library's buffer, so the peak should stay within 1.05 times the body plus 40 MiB.
//
// Usage: TarnGetMemoryBench [MiB...]   (default: 64 1024)
// The server runs in this process; tarn runs as a child, and its peak comes from wait4.
#include "TarnServer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace
{
// Runs tarn with Args; returns its peak resident size in KiB, or -1 when it failed.
long PeakKbOfTarn(std::vector<std::string> Args)
{
    std::vector<char*> Argv;
    for (std::string& Arg : Args)
        Argv.push_back(&Arg[0]);
    Argv.push_back(nullptr);
    // Its result line would break up the table.
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t nPid = 0;
    const int nError = posix_spawn(&nPid, TARN_CLI_PATH, &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (nError != 0)
        return -1;
    int nStatus = 0;
    rusage Usage{};
    if (wait4(nPid, &nStatus, 0, &Usage) != nPid || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
        return -1;
    return Usage.ru_maxrss;
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<long> Sizes;
    for (int i = 1; i < argc; ++i)
        Sizes.push_back(std::atol(argv[i]));
    if (Sizes.empty())
        Sizes = {64, 1024};

    tarn::TarnServer Server;
    if (Server.Start(0) == 0)
    {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    char szPath[] = "/tmp/tarn-get-bench-XXXXXX";
    const int nFile = mkstemp(szPath);
    if (nFile < 0)
        return 1;
    close(nFile);

    bool bAllWithin = true;
    std::printf("%8s %12s %12s  %s\n", "MiB", "peak MiB", "goal MiB", "");
    for (long lMiB : Sizes)
    {
        const std::string Url = Server.BaseUrl() + "/bytes/" + std::to_string(lMiB * 1024 * 1024);
        const long lPeakKb = PeakKbOfTarn({"tarn", "get", "-o", szPath, Url});
        const double dGoal = 1.05 * static_cast<double>(lMiB) + 40.0;
        const double dPeak = static_cast<double>(lPeakKb) / 1024.0;
        const bool bWithin = lPeakKb >= 0 && dPeak <= dGoal;
        bAllWithin = bAllWithin && bWithin;
        std::printf("%8ld %12.1f %12.1f  %s\n", lMiB, dPeak, dGoal,
                    lPeakKb < 0 ? "tarn failed" : (bWithin ? "within" : "OVER"));
    }
    unlink(szPath);
    return bAllWithin ? 0 : 1;
}
