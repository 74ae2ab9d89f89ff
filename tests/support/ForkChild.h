#pragma once

// Runs code in a child process made by fork() and waits for it, for the tests of what a child
// inherits from a process with requests in flight. POSIX only.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// Threaded forks under the sanitizers: ThreadSanitizer ends a child that starts threads, and the
// child can inherit AddressSanitizer's allocator locked by another thread and hang in it. The fork
// tests skip themselves under both (in a test body, where GTEST_SKIP is at hand).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TARN_SKIP_THREADED_FORK_UNDER_SANITIZERS()                                                           \
    GTEST_SKIP() << "a sanitizer's runtime does not survive a fork of a threaded process"
#else
#define TARN_SKIP_THREADED_FORK_UNDER_SANITIZERS() (void)0
#endif

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
