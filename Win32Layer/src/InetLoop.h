#pragma once

// The network thread: one libcurl multi handle that runs every exchange of the process, so that
// the connections it keeps serve later requests from any thread, as WinINet's do.
//
// libcurl lets one thread at a time use a multi handle and its easy handles, and its share
// interface does not support shared connections between concurrent threads; so the exchanges
// live on one thread and the callers wait for them. Only the network thread calls libcurl on a
// handle that is in the multi handle. One mutex guards the jobs and everything libcurl's
// callbacks touch: a caller holds it to look at its job and to ask for a change (add, resume,
// remove), which the network thread carries out on its next pass. The network thread holds it
// except while it waits in curl_multi_poll and while curl_multi_perform moves bytes; callbacks
// take it for themselves then (CallbackLock), so a caller can take bytes out while the next ones
// arrive. Callbacks mark their job (Touch), and its owner is woken once per pass.
//
// The thread starts with the first exchange. Idle connections are kept for 30 s (or the
// TARN_IDLE_CONNECTION_MS environment variable's milliseconds; 0 keeps none once nothing runs),
// at most 32 of them; when nothing has run for that long the thread closes them and ends. At
// most 64 connections to one server are open at once; further requests to it wait for one.
#include "Win32Layer/WinInet.h"

#include <curl/curl.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarn
{
namespace inet
{
template <typename T> class Immortal;

// What a job's owner learns from the network thread. Both run on it, with the mutex held.
class LoopClient
{
public:
    // The exchange has ended with this result.
    virtual void OnFinished(CURLcode eResult) = 0;

protected:
    ~LoopClient() = default;
};

// One exchange as the network thread sees it.
struct LoopJob
{
    enum class Phase
    {
        Detached, // not in the multi handle: new, taken out, or finished
        Adding,   // asked for; the network thread adds it on its next pass
        Running,
        Removing // asked for; the caller waits until the job is Detached again
    };

    CURL* pEasy = nullptr; // the owner frees it while Detached; otherwise the network thread does
    LoopClient* pClient = nullptr;
    Phase ePhase = Phase::Detached;
    bool bInMulti = false;
    bool bPauseChanged = false;
    int nPauseBits = CURLPAUSE_CONT; // for curl_easy_pause
    LoopJob* pNextTodo = nullptr;
    bool bQueued = false;
    LoopJob* pPrevJob = nullptr; // the loop's list of jobs that are not Detached
    LoopJob* pNextJob = nullptr;
    LoopJob* pNextTouched = nullptr; // callbacks have changed what the owner may wait for
    bool bTouched = false;
    std::condition_variable Changed; // the owner waits on it with the loop's mutex
};

class InetLoop
{
public:
    static InetLoop& Instance();

    std::mutex& Mutex() { return m_Mutex; }

    // The rest are called with the mutex held.

    // Hands the job's easy handle to the network thread, starting it when needed.
    // ERROR_SUCCESS or an error code; on failure the easy handle stays the caller's.
    DWORD Add(LoopJob& Job);
    // Asks for curl_easy_pause(Job.pEasy, nPauseBits) on the network thread.
    void SetPause(LoopJob& Job, int nPauseBits);
    // Takes the job out and frees its easy handle, unless the exchange finishes first and leaves
    // the handle to the owner; returns when the job is Detached.
    void Remove(std::unique_lock<std::mutex>& Lock, LoopJob& Job);
    // After a job has left: when no connection is to be kept and nothing else runs, waits until
    // the network thread has closed everything, so that nothing of the exchange outlives it.
    void Settle(std::unique_lock<std::mutex>& Lock);
    // From a callback: the owner is woken once the current pass is over.
    void Touch(LoopJob& Job);
    // For libcurl's callbacks, on the network thread: the mutex, unless that thread holds it.
    std::unique_lock<std::mutex> CallbackLock()
    {
        return m_bPerforming ? std::unique_lock<std::mutex>(m_Mutex)
                             : std::unique_lock<std::mutex>(m_Mutex, std::defer_lock);
    }

private:
    friend class Immortal<InetLoop>;
    InetLoop();
    ~InetLoop() = default;
    void Shutdown();
    InetLoop(const InetLoop&) = delete;
    InetLoop& operator=(const InetLoop&) = delete;

    using Clock = std::chrono::steady_clock;

    DWORD StartThread();
    void Queue(LoopJob& Job);
    void Run();
    void RunTodo();
    void Perform(std::unique_lock<std::mutex>& Lock);
    void Detach(LoopJob& Job);
    void Unlist(LoopJob& Job);
    void WakeTouched();
    void FailAll(CURLcode eResult);
    bool ShouldEnd() const;
    int NextWaitMs() const;
    void CloseAll();
    static void* ThreadMain(void* pThis);

    std::mutex m_Mutex;
    std::condition_variable m_Ended; // the thread has closed everything
    CURLM* m_pMulti = nullptr;
    CURLSH* m_pShare = nullptr;
    pthread_t m_Thread{};
    bool m_bThreadJoinable = false;
    bool m_bRunning = false;
    bool m_bStop = false;
    bool m_bPerforming = false; // the network thread's alone: in curl_multi_perform, unlocked
    LoopJob* m_pTodo = nullptr; // first of the jobs with a change asked for, in order
    LoopJob* m_pTodoLast = nullptr;
    LoopJob* m_pTouched = nullptr;
    LoopJob* m_pJobs = nullptr; // added and not yet detached
    unsigned m_uJobs = 0;
    Clock::time_point m_LastJobEnded;
    long m_lIdleKeepMs;
};
} // namespace inet
} // namespace tarn
