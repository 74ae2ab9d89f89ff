#include "InetLoop.h"

#include "Immortal.h"

#include <algorithm>
#include <cstdlib>

namespace tarn
{
namespace inet
{
namespace
{
// How long an idle connection is kept for a later request, and how many are kept at most.
constexpr long kIdleKeepMs = 30000;
constexpr long kMaxKeptConnections = 32;
// Connections open to one server at once, in use or idle; further requests to it wait for one.
constexpr long kMaxConnectionsPerServer = 64;
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
    static Immortal<InetLoop> s_Loop;
    static const struct Unloader
    {
        ~Unloader() { s_Loop.Get().Shutdown(); }
    } s_Unloader;
    return s_Loop.Get();
}

InetLoop::InetLoop() : m_LastJobEnded(Clock::now()), m_lIdleKeepMs(ReadIdleKeepMs()) {}

// Closes the kept connections and ends the thread, so that no thread runs this module's code once
// it is unloaded; unless exchanges are still running, which need it until the process ends.
void InetLoop::Shutdown()
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    if (m_uJobs != 0)
        return;
    if (m_bRunning)
    {
        m_bStop = true;
        curl_multi_wakeup(m_pMulti);
        m_Ended.wait(Lock, [this] { return !m_bRunning; });
    }
    if (m_bThreadJoinable)
        pthread_join(m_Thread, nullptr);
}

DWORD InetLoop::Add(LoopJob& Job)
{
    if (!m_bRunning)
    {
        const DWORD dwError = StartThread();
        if (dwError != ERROR_SUCCESS)
            return dwError;
    }
    curl_easy_setopt(Job.pEasy, CURLOPT_PRIVATE, &Job);
    curl_easy_setopt(Job.pEasy, CURLOPT_MAXAGE_CONN, std::max(1L, m_lIdleKeepMs / 1000));
    Job.ePhase = LoopJob::Phase::Adding;
    Job.pPrevJob = nullptr;
    Job.pNextJob = m_pJobs;
    if (m_pJobs != nullptr)
        m_pJobs->pPrevJob = &Job;
    m_pJobs = &Job;
    ++m_uJobs;
    Queue(Job);
    return ERROR_SUCCESS;
}

void InetLoop::SetPause(LoopJob& Job, int nPauseBits)
{
    Job.nPauseBits = nPauseBits;
    Job.bPauseChanged = true;
    Queue(Job);
}

void InetLoop::Settle(std::unique_lock<std::mutex>& Lock)
{
    if (m_lIdleKeepMs != 0 || !m_bRunning || m_uJobs != 0)
        return;
    curl_multi_wakeup(m_pMulti);
    m_Ended.wait(Lock, [this] { return !m_bRunning || m_uJobs != 0; });
}

void InetLoop::Touch(LoopJob& Job)
{
    if (Job.bTouched)
        return;
    Job.bTouched = true;
    Job.pNextTouched = m_pTouched;
    m_pTouched = &Job;
}

// One wake-up per owner and pass, however many callbacks ran; before the mutex is let go, while
// every touched job still exists.
void InetLoop::WakeTouched()
{
    while (LoopJob* pJob = m_pTouched)
    {
        m_pTouched = pJob->pNextTouched;
        pJob->pNextTouched = nullptr;
        pJob->bTouched = false;
        pJob->Changed.notify_all();
    }
}

void InetLoop::Remove(std::unique_lock<std::mutex>& Lock, LoopJob& Job)
{
    if (Job.ePhase == LoopJob::Phase::Detached)
        return;
    Job.ePhase = LoopJob::Phase::Removing;
    Queue(Job);
    Job.Changed.wait(Lock, [&Job] { return Job.ePhase == LoopJob::Phase::Detached; });
}

// The multi handle, the share and the thread; with the mutex held. The previous thread, if any,
// has closed everything and is ending or has ended.
DWORD InetLoop::StartThread()
{
    if (m_bThreadJoinable)
    {
        pthread_join(m_Thread, nullptr);
        m_bThreadJoinable = false;
    }
    m_pMulti = curl_multi_init();
    m_pShare = curl_share_init();
    if (m_pMulti == nullptr || m_pShare == nullptr)
    {
        CloseAll();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, kMaxKeptConnections);
    curl_multi_setopt(m_pMulti, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerServer);
    // TLS sessions are resumed across handles; connections and DNS answers are the multi handle's.
    curl_share_setopt(m_pShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    m_bStop = false;
    m_bRunning = true;
    if (pthread_create(&m_Thread, nullptr, &InetLoop::ThreadMain, this) != 0)
    {
        m_bRunning = false;
        CloseAll();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    m_bThreadJoinable = true;
    return ERROR_SUCCESS;
}

void InetLoop::Queue(LoopJob& Job)
{
    if (!Job.bQueued)
    {
        Job.bQueued = true;
        Job.pNextTodo = nullptr;
        if (m_pTodoLast != nullptr)
            m_pTodoLast->pNextTodo = &Job;
        else
            m_pTodo = &Job;
        m_pTodoLast = &Job;
    }
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
    std::unique_lock<std::mutex> Lock(m_Mutex);
    for (;;)
    {
        RunTodo();
        WakeTouched();
        if (ShouldEnd())
            break;
        Perform(Lock);
        WakeTouched();
        const int nWaitMs = NextWaitMs();
        Lock.unlock();
        curl_multi_poll(m_pMulti, nullptr, 0, nWaitMs, nullptr);
        Lock.lock();
    }
    CloseAll();
    m_bRunning = false;
    m_Ended.notify_all();
}

void InetLoop::RunTodo()
{
    while (LoopJob* pJob = m_pTodo)
    {
        m_pTodo = pJob->pNextTodo;
        if (m_pTodo == nullptr)
            m_pTodoLast = nullptr;
        pJob->pNextTodo = nullptr;
        pJob->bQueued = false;
        switch (pJob->ePhase)
        {
        case LoopJob::Phase::Adding:
            curl_easy_setopt(pJob->pEasy, CURLOPT_SHARE, m_pShare);
            pJob->ePhase = LoopJob::Phase::Running;
            pJob->bInMulti = curl_multi_add_handle(m_pMulti, pJob->pEasy) == CURLM_OK;
            if (!pJob->bInMulti)
                pJob->pClient->OnFinished(CURLE_OUT_OF_MEMORY);
            break;
        case LoopJob::Phase::Running:
            if (pJob->bPauseChanged && pJob->bInMulti)
            {
                pJob->bPauseChanged = false;
                // libcurl may hand over held-back bytes from inside this call, and pause again.
                curl_easy_pause(pJob->pEasy, pJob->nPauseBits);
            }
            break;
        case LoopJob::Phase::Removing:
            Detach(*pJob);
            break;
        case LoopJob::Phase::Detached:
            break;
        }
    }
}

void InetLoop::Perform(std::unique_lock<std::mutex>& Lock)
{
    if (m_uJobs == 0)
        return;
    int nRunning = 0;
    // No job leaves the multi handle meanwhile: only this thread takes them out.
    m_bPerforming = true;
    Lock.unlock();
    const CURLMcode eCode = curl_multi_perform(m_pMulti, &nRunning);
    Lock.lock();
    m_bPerforming = false;
    int nQueued = 0;
    while (CURLMsg* pMessage = curl_multi_info_read(m_pMulti, &nQueued))
    {
        if (pMessage->msg != CURLMSG_DONE)
            continue;
        char* pPrivate = nullptr;
        curl_easy_getinfo(pMessage->easy_handle, CURLINFO_PRIVATE, &pPrivate);
        LoopJob& Job = *reinterpret_cast<LoopJob*>(pPrivate);
        Job.pClient->OnFinished(pMessage->data.result);
        // Out of the multi handle at once: its connection is free for the next request, and the
        // owner frees the easy handle without waiting for this thread.
        curl_multi_remove_handle(m_pMulti, Job.pEasy);
        curl_easy_setopt(Job.pEasy, CURLOPT_SHARE, nullptr);
        Job.bInMulti = false;
        Unlist(Job);
    }
    if (eCode != CURLM_OK)
        FailAll(eCode == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT);
}

// The multi handle itself failed: no exchange can be trusted to go on.
void InetLoop::FailAll(CURLcode eResult)
{
    for (LoopJob* pJob = m_pJobs; pJob != nullptr; pJob = pJob->pNextJob)
        pJob->pClient->OnFinished(eResult);
}

// Takes the job out of the multi handle, which keeps its connection only when the exchange ended
// cleanly, and frees the easy handle.
void InetLoop::Detach(LoopJob& Job)
{
    if (Job.bInMulti)
        curl_multi_remove_handle(m_pMulti, Job.pEasy);
    Job.bInMulti = false;
    curl_easy_cleanup(Job.pEasy);
    Job.pEasy = nullptr;
    Unlist(Job);
}

// Forgets a job that has left the multi handle, with any change still asked for, and wakes an
// owner waiting in Remove (the exchange may have finished before the removal came round).
void InetLoop::Unlist(LoopJob& Job)
{
    if (Job.bQueued)
    {
        LoopJob** ppLink = &m_pTodo;
        LoopJob* pPrevious = nullptr;
        while (*ppLink != &Job)
        {
            pPrevious = *ppLink;
            ppLink = &pPrevious->pNextTodo;
        }
        *ppLink = Job.pNextTodo;
        if (m_pTodoLast == &Job)
            m_pTodoLast = pPrevious;
        Job.pNextTodo = nullptr;
        Job.bQueued = false;
    }
    Job.bPauseChanged = false;
    Job.ePhase = LoopJob::Phase::Detached;
    if (Job.pPrevJob != nullptr)
        Job.pPrevJob->pNextJob = Job.pNextJob;
    else
        m_pJobs = Job.pNextJob;
    if (Job.pNextJob != nullptr)
        Job.pNextJob->pPrevJob = Job.pPrevJob;
    Job.pPrevJob = Job.pNextJob = nullptr;
    if (--m_uJobs == 0)
        m_LastJobEnded = Clock::now();
    Job.Changed.notify_all();
}

bool InetLoop::ShouldEnd() const
{
    if (m_uJobs != 0 || m_pTodo != nullptr)
        return false;
    return m_bStop || Clock::now() - m_LastJobEnded >= std::chrono::milliseconds(m_lIdleKeepMs);
}

int InetLoop::NextWaitMs() const
{
    long lWaitMs = -1;
    curl_multi_timeout(m_pMulti, &lWaitMs);
    if (lWaitMs < 0 || lWaitMs > kMaxWaitMs)
        lWaitMs = kMaxWaitMs;
    if (m_uJobs == 0)
    {
        const long long llIdleMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_LastJobEnded).count();
        lWaitMs = static_cast<long>(std::clamp<long long>(m_lIdleKeepMs - llIdleMs, 0, lWaitMs));
    }
    return static_cast<int>(lWaitMs);
}

// Closes the kept connections.
void InetLoop::CloseAll()
{
    if (m_pMulti != nullptr)
        curl_multi_cleanup(m_pMulti);
    if (m_pShare != nullptr)
        curl_share_cleanup(m_pShare);
    m_pMulti = nullptr;
    m_pShare = nullptr;
}
} // namespace inet
} // namespace tarn
