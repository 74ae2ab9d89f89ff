#pragma once

// Runs code in a child process made by fork() and waits for it, for the tests of what a child
// inherits from a process with requests in flight. POSIX only.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tarn
{
namespace test
{
// The child's exit status (Child() returns it), or -1 when the child had not ended within
// nTimeoutMs; it is then killed.
template <typename F> int RunInChild(F Child, int nTimeoutMs)
{
    const pid_t nChild = ::fork();
    if (nChild == 0)
        ::_exit(Child()); // no static destructors, no test framework teardown in the child
    if (nChild < 0)
        return -1;
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    int nStatus = 0;
    pid_t nDone = 0;
    while ((nDone = ::waitpid(nChild, &nStatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (nDone == 0)
    {
        ::kill(nChild, SIGKILL);
        ::waitpid(nChild, &nStatus, 0);
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}
} // namespace test
} // namespace tarn
