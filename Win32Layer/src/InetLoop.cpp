#include "InetLoop.h"

#include "CloseOnExec.h"
#include "Immortal.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace tarn
{
namespace inet
{
Mutex g_NetworkMutex;

namespace
{
// Held by the network thread while it runs libcurl, and so OpenSSL, whose locks fork() would copy
// as they stand; it lets go only to wait. Taken before g_NetworkMutex, in the thread and in the
// fork handlers alike, so a fork waits for the end of the network thread's pass, at most.
Mutex g_ForkGate TARN_ACQUIRED_BEFORE(g_NetworkMutex);

// How long an idle connection is kept for a later request.
constexpr long kIdleKeepMs = 30000;
// Connections open to one server at once, in use or idle; further requests to it wait for one.
constexpr long kMaxConnectionsPerServer = 64;
// Connections open at once to all servers, in use or idle. libcurl's cache counts the ones in use
// too and closes the oldest idle one whenever a finished transfer finds it over its size; at this
// size that never happens, so a burst keeps every connection that a queued request can take.
// When a new server needs a place, an idle connection to another one makes room.
constexpr long kMaxConnections = 4 * kMaxConnectionsPerServer;
// The longest the network thread sleeps without looking at its clock.
constexpr long kMaxWaitMs = 1000;

long ReadIdleKeepMs()
{
    const char* pszValue = std::getenv("TARN_IDLE_CONNECTION_MS");
    if (pszValue == nullptr || *pszValue < '0' || *pszValue > '9')
        return kIdleKeepMs;
    char* pszEnd = nullptr;
    const unsigned long ulValue = std::strtoul(pszValue, &pszEnd, 10);
    if (*pszEnd != '\0' || ulValue > 24ul * 3600 * 1000)
        return kIdleKeepMs;
    return static_cast<long>(ulValue);
}
} // namespace

// The loop itself is never destroyed, so that threads still inside an exchange at exit can go on
// using it; what ends with the module (at unload or exit) is the network thread, when idle.
InetLoop& InetLoop::Instance()
{
    return OnceImmortal<InetLoop>::Get();
}

InetLoop::InetLoop() : m_LastJobEnded(Clock::now()), m_lIdleKeepMs(ReadIdleKeepMs()) {}

namespace
{
void LockForkGate() TARN_ACQUIRE(g_ForkGate)
{
    g_ForkGate.Lock();
}

void UnlockForkGate() TARN_RELEASE(g_ForkGate)
{
    g_ForkGate.Unlock();
}

const struct LoopUnloader
{
    // Registered as the module loads, so that a fork during the loop's first construction finds
    // them in place; glibc forgets them when the module is unloaded.
    // The gate's are registered last, so that its prepare handler runs first.
    LoopUnloader()
    {
        pthread_atfork(&InetLoop::BeforeFork, &InetLoop::AfterForkInParent, &InetLoop::AfterForkInChild);
        pthread_atfork(&LockForkGate, &UnlockForkGate, &UnlockForkGate);
    }
    ~LoopUnloader()
    {
        if (InetLoop* pLoop = OnceImmortal<InetLoop>::IfBuilt())
            pLoop->Shutdown();
    }
} g_LoopUnloader;
} // namespace

// Closes the kept connections and ends the thread, so that no thread runs this module's code once
// it is unloaded; unless exchanges are still running, which need it until the process ends.
void InetLoop::Shutdown()
{
    MutexLock Held(g_NetworkMutex);
    if (!m_Jobs.Empty())
        return;
    if (m_eThread == ThreadState::Running)
    {
        m_bStop = true;
        curl_multi_wakeup(m_pMulti);
    }
    while (m_eThread == ThreadState::Running || m_eThread == ThreadState::Closing)
        m_ThreadChanged.wait(Held.Native());
    JoinEnded();
}

// Joining is quick: the thread has closed everything and let go of the mutex for good.
void InetLoop::JoinEnded()
{
    if (m_eThread != ThreadState::Ended)
        return;
    pthread_join(m_Thread, nullptr);
    MoveThread(ThreadState::None);
}

bool InetLoop::CanMoveThread(ThreadState eFrom, ThreadState eTo, bool bInForkChild)
{
    switch (eTo)
    {
    case ThreadState::None:
        return eFrom == ThreadState::Ended || bInForkChild;
    case ThreadState::Running:
        return eFrom == ThreadState::None;
    case ThreadState::Closing:
        return eFrom == ThreadState::Running;
    case ThreadState::Ended:
        return eFrom == ThreadState::Closing;
    }
    return false;
}

bool InetLoop::MoveThread(ThreadState eTo, bool bInForkChild)
{
    if (!CanMoveThread(m_eThread, eTo, bInForkChild))
        return false;
    m_eThread = eTo;
    return true;
}

bool LoopJob::CanMove(Membership eFrom, Membership eTo)
{
    switch (eTo)
    {
    case Membership::Adding:
        return eFrom == Membership::Detached;
    case Membership::InMulti:
        return eFrom == Membership::Adding;
    case Membership::Leaving:
        return eFrom == Membership::InMulti;
    case Membership::Detached:
        return eFrom == Membership::Adding || eFrom == Membership::Leaving;
    }
    return false;
}

bool InetLoop::Move(LoopJob& Job, LoopJob::Membership eTo)
{
    if (!LoopJob::CanMove(Job.eMembership, eTo))
        return false;
    Job.eMembership = eTo;
    return true;
}

DWORD InetLoop::Add(MutexLock& Held, LoopJob& Job)
{
    // A thread that is closing its connections takes no new job: the next one starts afresh.
    while (m_eThread == ThreadState::Closing)
        m_ThreadChanged.wait(Held.Native());
    if (m_eThread != ThreadState::Running)
    {
        const DWORD dwError = StartThread();
        if (dwError != ERROR_SUCCESS)
            return dwError;
    }
    curl_easy_setopt(Job.pEasy, CURLOPT_PRIVATE, &Job);
    curl_easy_setopt(Job.pEasy, CURLOPT_MAXAGE_CONN, std::max(1L, m_lIdleKeepMs / 1000));
    Move(Job, LoopJob::Membership::Adding);
    Job.bRemoveAsked = false;
    Job.bPauseAsked = false;
    m_Jobs.PushBack(Job);
    Queue(Job);
    // A handle waiting for the connections to close while nothing ran need not wait any more.
    m_ThreadChanged.notify_all();
    return ERROR_SUCCESS;
}

void InetLoop::ApplyPause(LoopJob& Job)
{
    if (Job.eMembership != LoopJob::Membership::InMulti)
        return;
    Job.bPauseAsked = true;
    Queue(Job);
}

void InetLoop::Remove(MutexLock& Held, LoopJob& Job)
{
    switch (Job.eMembership)
    {
    case LoopJob::Membership::Detached:
        return;
    case LoopJob::Membership::Adding:
        Detach(Job); // libcurl never saw it
        return;
    case LoopJob::Membership::InMulti:
        Job.bRemoveAsked = true;
        Queue(Job);
        break;
    case LoopJob::Membership::Leaving:
        break;
    }
    while (Job.eMembership != LoopJob::Membership::Detached)
        Job.Changed.wait(Held.Native());
}

void InetLoop::AwaitClosedWhenNothingKept(MutexLock& Held)
{
    if (m_lIdleKeepMs != 0 || !m_Jobs.Empty())
        return;
    if (m_eThread == ThreadState::Running)
        curl_multi_wakeup(m_pMulti);
    while ((m_eThread == ThreadState::Running || m_eThread == ThreadState::Closing) && m_Jobs.Empty())
        m_ThreadChanged.wait(Held.Native());
}

void InetLoop::MarkChanged(LoopJob& Job)
{
    m_Wake.PushBack(Job);
}

// One wake-up per owner and pass, however many callbacks ran.
void InetLoop::WakeChanged()
{
    while (LoopJob* pJob = m_Wake.PopFront())
        pJob->Changed.notify_all();
}

// The multi handle, the share and the thread.
DWORD InetLoop::StartThread()
{
    JoinEnded();
    NewSocketPairWatch WakeUpPair;
    m_pMulti = curl_multi_init();
    WakeUpPair.MarkCloseOnExec();
    m_pShare = curl_share_init();
    bool bStarted = m_pMulti != nullptr && m_pShare != nullptr;
    if (bStarted)
    {
        curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, kMaxConnections);
        curl_multi_setopt(m_pMulti, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
        curl_multi_setopt(m_pMulti, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerServer);
        // TLS sessions are resumed across handles; connections and DNS answers are the multi
        // handle's.
        curl_share_setopt(m_pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        m_bStop = false;
        bStarted = pthread_create(&m_Thread, nullptr, &InetLoop::ThreadMain, this) == 0;
    }
    if (!bStarted)
    {
        curl_multi_cleanup(m_pMulti);
        curl_share_cleanup(m_pShare);
        m_pMulti = nullptr;
        m_pShare = nullptr;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    MoveThread(ThreadState::Running);
    return ERROR_SUCCESS;
}

// Only the change that finds the queue empty wakes the network thread: it empties the queue
// before it sleeps again, so a later one is taken along.
void InetLoop::Queue(LoopJob& Job)
{
    const bool bWasEmpty = m_Todo.Empty();
    m_Todo.PushBack(Job);
    if (bWasEmpty && m_pMulti != nullptr)
        curl_multi_wakeup(m_pMulti);
}

void* InetLoop::ThreadMain(void* pThis)
{
    pthread_setname_np(pthread_self(), "tarn-network"); // for debuggers and profilers
    static_cast<InetLoop*>(pThis)->Run();
    return nullptr;
}

void InetLoop::Run()
{
    MutexLock Gate(g_ForkGate);
    MutexLock Held(g_NetworkMutex);
    for (;;)
    {
        RunRequests();
        WakeChanged();
        if (ShouldEnd())
            break;
        Perform();
        WakeChanged();
        const int nWaitMs = NextWaitMs();
        CURLM* const pMulti = m_pMulti;
        Held.Unlock();
        Gate.Unlock();
        curl_multi_poll(pMulti, nullptr, 0, nWaitMs, nullptr);
        Gate.Relock();
        Held.Relock();
    }
    // Closing the connections may take a moment; new jobs wait for it and then start a new thread.
    MoveThread(ThreadState::Closing);
    CURLM* const pMulti = m_pMulti;
    CURLSH* const pShare = m_pShare;
    m_pMulti = nullptr;
    m_pShare = nullptr;
    Held.Unlock();
    curl_multi_cleanup(pMulti);
    curl_share_cleanup(pShare);
    Held.Relock();
    MoveThread(ThreadState::Ended);
    m_ThreadChanged.notify_all();
}

// Carries out what owners asked for, each libcurl call without the mutex. Meanwhile an owner may
// ask for more; the job then comes round again.
void InetLoop::RunRequests()
{
    while (LoopJob* pJob = m_Todo.PopFront())
    {
        LoopJob& Job = *pJob;
        CURL* const pEasy = Job.pEasy;
        CURLM* const pMulti = m_pMulti;
        if (Job.eMembership == LoopJob::Membership::Adding)
        {
            CURLSH* const pShare = m_pShare;
            Move(Job, LoopJob::Membership::InMulti);
            g_NetworkMutex.Unlock();
            curl_easy_setopt(pEasy, CURLOPT_SHARE, pShare);
            const bool bAdded = curl_multi_add_handle(pMulti, pEasy) == CURLM_OK;
            g_NetworkMutex.Lock();
            if (!bAdded)
                Finish(Job, false, CURLE_OUT_OF_MEMORY, true);
        }
        else if (Job.eMembership == LoopJob::Membership::InMulti && Job.bRemoveAsked)
            Finish(Job, true, CURLE_OK, false);
        else if (Job.eMembership == LoopJob::Membership::InMulti && Job.bPauseAsked)
        {
            Job.bPauseAsked = false;
            const int nPauseBits = Job.pClient->PausedBits();
            g_NetworkMutex.Unlock();
            // libcurl may hand over held-back bytes from inside this call, and pause again.
            curl_easy_pause(pEasy, nPauseBits);
            g_NetworkMutex.Lock();
        }
    }
}

void InetLoop::Perform()
{
    if (m_Jobs.Empty())
        return;
    CURLM* const pMulti = m_pMulti;
    int nRunning = 0;
    g_NetworkMutex.Unlock();
    // A multi-level error (out of memory, say) ends no exchange by itself: the transfers it hit
    // report their own results below, and every other goes on under its owner's time-outs.
    curl_multi_perform(pMulti, &nRunning);
    int nQueued = 0;
    while (CURLMsg* pMessage = curl_multi_info_read(pMulti, &nQueued))
    {
        if (pMessage->msg != CURLMSG_DONE)
            continue;
        const CURLcode eResult = pMessage->data.result;
        char* pPrivate = nullptr;
        curl_easy_getinfo(pMessage->easy_handle, CURLINFO_PRIVATE, &pPrivate);
        g_NetworkMutex.Lock();
        Finish(*reinterpret_cast<LoopJob*>(pPrivate), true, eResult, true);
        g_NetworkMutex.Unlock();
    }
    g_NetworkMutex.Lock();
}

// Takes the job out of the multi handle, which keeps its connection only when the exchange ended
// cleanly; the connection is free for the next request at once. An exchange that ended on its own
// (bReport) tells its owner once it is out, so that the owner, woken once, finds the job Detached
// and can free the handle without waiting again.
void InetLoop::Finish(LoopJob& Job, bool bInMulti, CURLcode eResult, bool bReport)
{
    Move(Job, LoopJob::Membership::Leaving);
    CURL* const pEasy = Job.pEasy;
    CURLM* const pMulti = m_pMulti;
    g_NetworkMutex.Unlock();
    if (bInMulti)
        curl_multi_remove_handle(pMulti, pEasy);
    // The owner frees the handle on its own thread, away from the share.
    curl_easy_setopt(pEasy, CURLOPT_SHARE, nullptr);
    g_NetworkMutex.Lock();
    if (bReport)
        Job.pClient->OnFinished(eResult);
    Detach(Job);
}

// The job is its owner's again, and no queue of the loop holds it.
void InetLoop::Detach(LoopJob& Job)
{
    Move(Job, LoopJob::Membership::Detached);
    Job.bRemoveAsked = false;
    Job.bPauseAsked = false;
    m_Todo.Remove(Job);
    m_Wake.Remove(Job);
    m_Jobs.Remove(Job);
    if (m_Jobs.Empty())
        m_LastJobEnded = Clock::now();
    Job.Changed.notify_all();
}

bool InetLoop::ShouldEnd() const
{
    if (!m_Jobs.Empty() || !m_Todo.Empty())
        return false;
    return m_bStop || Clock::now() - m_LastJobEnded >= std::chrono::milliseconds(m_lIdleKeepMs);
}

int InetLoop::NextWaitMs() const
{
    long lWaitMs = -1;
    curl_multi_timeout(m_pMulti, &lWaitMs);
    if (lWaitMs < 0 || lWaitMs > kMaxWaitMs)
        lWaitMs = kMaxWaitMs;
    if (m_Jobs.Empty())
    {
        const long long llIdleMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_LastJobEnded).count();
        lWaitMs = static_cast<long>(std::clamp<long long>(m_lIdleKeepMs - llIdleMs, 0, lWaitMs));
    }
    return static_cast<int>(lWaitMs);
}

// fork() copies only the calling thread: the child must not inherit the mutex held, nor wait for
// a network thread or exchanges that exist only in the parent.
void InetLoop::BeforeFork()
{
    g_NetworkMutex.Lock();
}

void InetLoop::AfterForkInParent()
{
    g_NetworkMutex.Unlock();
}

void InetLoop::AfterForkInChild()
{
    // A loop that was still being built in the parent is built afresh by the child's first use.
    if (InetLoop* pLoop = OnceImmortal<InetLoop>::IfBuilt())
        pLoop->ForgetInheritedState();
    g_NetworkMutex.Unlock();
}

// In the child: no thread, no multi handle, no job. The parent's multi handle and share are left
// as they are (closing them would shut down TLS on connections that the parent still uses); an
// exchange that the forking thread had under way fails as cut off.
void InetLoop::ForgetInheritedState()
{
    while (m_Todo.PopFront() != nullptr)
    {
    }
    while (m_Wake.PopFront() != nullptr)
    {
    }
    while (LoopJob* pJob = m_Jobs.PopFront())
    {
        new (&pJob->Changed) std::condition_variable(); // its waiters were the parent's threads
        pJob->pClient->OnFinished(CURLE_RECV_ERROR);
        pJob->pEasy = nullptr; // the parent's multi handle has it
        Move(*pJob, LoopJob::Membership::Leaving);
        Move(*pJob, LoopJob::Membership::Detached);
        pJob->bRemoveAsked = false;
        pJob->bPauseAsked = false;
    }
    new (&m_ThreadChanged) std::condition_variable();
    m_pMulti = nullptr;
    m_pShare = nullptr;
    MoveThread(ThreadState::None, true);
    m_bStop = false;
    m_LastJobEnded = Clock::now();
}
} // namespace inet
} // namespace tarn
