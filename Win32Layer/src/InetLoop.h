#pragma once

// The network thread: one libcurl multi handle that runs every exchange of the process, so that
// the connections it keeps serve later requests from any thread, as WinINet's do.
//
// libcurl lets one thread at a time use a multi handle and its easy handles, and its share
// interface does not support shared connections between concurrent threads; so the exchanges live
// on one thread and their owners wait for them. Only the network thread calls libcurl on a handle
// that is in the multi handle; an owner asks for a change (add, pause or resume, remove) and the
// network thread carries it out on its next pass.
//
// g_NetworkMutex guards the loop's queues and what each exchange shares with the network thread.
// The network thread never holds it while it calls libcurl, so nothing that libcurl may wait for
// (a name lookup, a socket) holds up another request; libcurl's callbacks take it for themselves.
// A callback marks its job as changed, and the job's owner is woken once per pass.
// Lock order, declared beside each mutex and checked by Clang: a request's call mutex
// (InetRequest.h) and the fork gate (InetLoop.cpp) come before g_NetworkMutex; the handle
// registry's mutex and libcurl's init mutex are taken alone.
//
// Name lookups: libcurl resolves each name on a thread of its own and, when a transfer that is
// still resolving ends, waits for that thread; CURLOPT_QUICK_EXIT makes it leave the lookup to
// finish on its own instead, so that a slow name delays only the request that asked for it.
//
// The thread starts with the first exchange. Idle connections are kept for 30 s (or the
// TARN_IDLE_CONNECTION_MS environment variable's milliseconds; 0 keeps none once nothing runs);
// when nothing has run for that long the thread closes them and ends. At most 64 connections to
// one server and 256 in all are open at once, in use or idle, and every one of them may be kept:
// a burst closes none that a waiting request could take. Further requests wait for a connection,
// on their owners' clocks; an idle one to another server is closed to make room. After fork()
// the child has none of it: its first exchange starts a new thread.
// A fork waits until the network thread is between passes, so that the child inherits none of
// libcurl's or OpenSSL's locks held.
#include "IntrusiveList.h"
#include "ThreadSafety.h"

#include "Win32Layer/WinInet.h"

#include <curl/curl.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>

namespace tarn
{
namespace inet
{
template <typename T> class OnceImmortal;

extern Mutex g_NetworkMutex;

// What a job's owner learns from the network thread.
class LoopClient
{
public:
    // The exchange has ended with this result.
    virtual void OnFinished(CURLcode eResult) TARN_REQUIRES(g_NetworkMutex) = 0;
    // The pauses to hold the transfer with (CURLPAUSE_RECV, CURLPAUSE_SEND), as curl_easy_pause
    // takes them: the client keeps them, and the network thread applies them when asked.
    virtual int PausedBits() const TARN_REQUIRES(g_NetworkMutex) = 0;

protected:
    ~LoopClient() = default;
};

// One exchange as the network thread sees it. The owner keeps it, and the easy handle, until the
// job is Detached again.
struct LoopJob
{
    enum class Membership
    {
        Detached, // not the loop's: new, taken back, or finished and out of the multi handle
        Adding,   // queued; the network thread adds it on its next pass
        InMulti,  // in the multi handle: pause, resume and remove mean something now
        Leaving   // the network thread is taking it out of the multi handle
    };

    // Whether a job may move from eFrom to eTo: Detached, Adding, InMulti, Leaving, Detached,
    // or from Adding straight back to Detached when it is taken back before libcurl saw it.
    static bool CanMove(Membership eFrom, Membership eTo);

    CURL* pEasy = nullptr; // the owner's; it frees it while the job is Detached
    LoopClient* pClient = nullptr;
    Membership eMembership TARN_GUARDED_BY(g_NetworkMutex) = Membership::Detached; // see InetLoop::Move
    bool bRemoveAsked TARN_GUARDED_BY(g_NetworkMutex) = false;
    bool bPauseAsked TARN_GUARDED_BY(g_NetworkMutex) = false; // the client's PausedBits are to be applied
    ListLink<LoopJob> JobsLink;                               // on the loop's jobs while not Detached
    ListLink<LoopJob> TodoLink;                               // while a change is asked for
    ListLink<LoopJob> WakeLink;                               // while its owner is to be woken
    std::condition_variable Changed;                          // the owner waits on it with g_NetworkMutex
};

class InetLoop
{
public:
    static InetLoop& Instance();

    // Hands the job's easy handle to the network thread, starting it when needed.
    // ERROR_SUCCESS or an error code; on failure the job stays Detached.
    DWORD Add(MutexLock& Held, LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);
    // Asks for curl_easy_pause(Job.pEasy, Job.pClient->PausedBits()) on the next pass; ignored
    // unless the job is in the multi handle, where a pause means something.
    void ApplyPause(LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);
    // Takes the job back from the loop, wherever it is; returns when it is Detached and nothing
    // of it is left on the loop's queues. The easy handle stays the owner's to free.
    void Remove(MutexLock& Held, LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);
    // When no connection is to be kept and no exchange runs, waits until the network thread has
    // closed everything, so that nothing of the last exchange outlives its handle.
    void AwaitClosedWhenNothingKept(MutexLock& Held) TARN_REQUIRES(g_NetworkMutex);
    // From a callback: the job's owner is woken once the current pass is over.
    void MarkChanged(LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);

    // Once the module goes: ends the idle network thread (InetLoop.cpp).
    void Shutdown() TARN_EXCLUDES(g_NetworkMutex);
    // fork() handlers, registered as the module loads: the mutex is held across the fork.
    static void BeforeFork() TARN_ACQUIRE(g_NetworkMutex);
    static void AfterForkInParent() TARN_RELEASE(g_NetworkMutex);
    static void AfterForkInChild() TARN_RELEASE(g_NetworkMutex);

private:
    friend class OnceImmortal<InetLoop>;
    InetLoop();
    ~InetLoop() = default;
    InetLoop(const InetLoop&) = delete;
    InetLoop& operator=(const InetLoop&) = delete;

    using Clock = std::chrono::steady_clock;
    enum class ThreadState
    {
        None,    // no thread, no multi handle
        Running, // runs the jobs
        Closing, // ending: closes the connections, without the mutex
        Ended    // to be joined
    };

    // Whether the network thread's state may move from eFrom to eTo: None, Running, Closing,
    // Ended, None. A child of fork has none of its parent's thread: any state moves to None there.
    static bool CanMoveThread(ThreadState eFrom, ThreadState eTo, bool bInForkChild);
    // The only places where a job's membership and the thread's state change; each refuses a
    // move that its check does not allow.
    bool Move(LoopJob& Job, LoopJob::Membership eTo) TARN_REQUIRES(g_NetworkMutex);
    bool MoveThread(ThreadState eTo, bool bInForkChild = false) TARN_REQUIRES(g_NetworkMutex);
    // Joins a thread that has ended.
    void JoinEnded() TARN_REQUIRES(g_NetworkMutex);

    DWORD StartThread() TARN_REQUIRES(g_NetworkMutex);
    void Queue(LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);
    void Run() TARN_EXCLUDES(g_NetworkMutex);
    void RunRequests() TARN_REQUIRES(g_NetworkMutex);
    void Perform() TARN_REQUIRES(g_NetworkMutex);
    void Finish(LoopJob& Job, bool bInMulti, CURLcode eResult, bool bReport) TARN_REQUIRES(g_NetworkMutex);
    void Detach(LoopJob& Job) TARN_REQUIRES(g_NetworkMutex);
    void WakeChanged() TARN_REQUIRES(g_NetworkMutex);
    bool ShouldEnd() const TARN_REQUIRES(g_NetworkMutex);
    int NextWaitMs() const TARN_REQUIRES(g_NetworkMutex);
    static void* ThreadMain(void* pThis);

    void ForgetInheritedState() TARN_REQUIRES(g_NetworkMutex);

    std::condition_variable m_ThreadChanged; // the thread's state, or the number of jobs
    CURLM* m_pMulti TARN_GUARDED_BY(g_NetworkMutex) = nullptr;
    CURLSH* m_pShare TARN_GUARDED_BY(g_NetworkMutex) = nullptr;
    pthread_t m_Thread TARN_GUARDED_BY(g_NetworkMutex){};
    ThreadState m_eThread TARN_GUARDED_BY(g_NetworkMutex) = ThreadState::None;
    bool m_bStop TARN_GUARDED_BY(g_NetworkMutex) = false;
    IntrusiveList<LoopJob, &LoopJob::JobsLink> m_Jobs TARN_GUARDED_BY(g_NetworkMutex);
    IntrusiveList<LoopJob, &LoopJob::TodoLink> m_Todo TARN_GUARDED_BY(g_NetworkMutex);
    IntrusiveList<LoopJob, &LoopJob::WakeLink> m_Wake TARN_GUARDED_BY(g_NetworkMutex);
    Clock::time_point m_LastJobEnded TARN_GUARDED_BY(g_NetworkMutex);
    const long m_lIdleKeepMs;
};
} // namespace inet
} // namespace tarn
