#include "EngineCore/NThread.h"
#include "NThreadPlatform.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

// Functions run on a process-wide set of threads. Create queues the function and wakes an idle
// thread; when none is idle, a starter thread (the only thread ever started by a caller, once per
// process) starts one more, so the caller never waits for the system to create a thread. A thread
// whose function returned takes the next queued one, or waits for one for a while.

namespace
{
// Threads kept waiting once their function returned, and how long each waits for the next one.
constexpr int kMaxIdleThreads = 64;
constexpr std::chrono::seconds kIdleTimeout(15);
// How long the starter waits before trying again after the system refused a thread.
constexpr std::chrono::milliseconds kStartRetry(10);
} // namespace

struct NThreadState
{
    void (*pfnFunction)(void*);
    void* pvArg;
    NThreadState* pNext; // the queue's link while waiting for a thread
    bool bDone;          // set under the pool's lock once the function has returned
};

namespace
{
class NThreadPool
{
public:
    // Queues pState. Returns false when it cannot be guaranteed to run, having taken it back.
    bool Submit(NThreadState* pState);
    void Wait(NThreadState* pState);

private:
    bool EnsureStarter(std::unique_lock<std::mutex>& Lock);
    // Starts a detached thread running pfnEntry(this), with the lock released meanwhile.
    bool StartThread(std::unique_lock<std::mutex>& Lock, void (*pfnEntry)(void*));
    NThreadState* Pop();
    void RunOne(std::unique_lock<std::mutex>& Lock, NThreadState* pState);
    bool NeedsThread() const { return m_nQueued > m_nIdle + m_nStarting; }
    static void StarterEntry(void* pvPool);
    static void WorkerEntry(void* pvPool);
    void StarterMain();
    void WorkerMain();

    std::mutex m_Mutex;
    std::condition_variable m_WorkCond;    // idle threads wait here for a queued function
    std::condition_variable m_StarterCond; // the starter waits here for a thread to start
    std::condition_variable m_DoneCond;    // Destroy waits here for a function to return
    NThreadState* m_pHead = nullptr;
    NThreadState* m_pTail = nullptr;
    int m_nQueued = 0;
    int m_nIdle = 0;     // threads waiting in m_WorkCond
    int m_nStarting = 0; // threads asked of the system and not yet waiting or working
    int m_nThreads = 0;  // running threads, the starter excepted
    int m_nDoneWaiters = 0;
    bool m_bStarter = false;
};

// Never destroyed: parked threads may still use it while the process exits.
NThreadPool& Pool()
{
    static NThreadPool* s_pPool = new NThreadPool;
    return *s_pPool;
}

bool NThreadPool::Submit(NThreadState* pState)
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    // Without a starter only a running thread can take it, once its own function returns.
    if (m_nQueued >= m_nIdle && !EnsureStarter(Lock) && m_nThreads == 0)
        return false;

    pState->pNext = nullptr;
    if (m_pTail != nullptr)
        m_pTail->pNext = pState;
    else
        m_pHead = pState;
    m_pTail = pState;
    ++m_nQueued;

    if (m_nQueued <= m_nIdle)
        m_WorkCond.notify_one();
    else if (NeedsThread())
        m_StarterCond.notify_one();
    return true;
}

bool NThreadPool::EnsureStarter(std::unique_lock<std::mutex>& Lock)
{
    if (m_bStarter)
        return true;
    m_bStarter = true;
    const bool bStarted = StartThread(Lock, &NThreadPool::StarterEntry);
    if (!bStarted)
        m_bStarter = false;
    return bStarted;
}

bool NThreadPool::StartThread(std::unique_lock<std::mutex>& Lock, void (*pfnEntry)(void*))
{
    Lock.unlock();
    const bool bStarted = NThreadPlatform::StartDetached(pfnEntry, this);
    Lock.lock();
    return bStarted;
}

NThreadState* NThreadPool::Pop()
{
    NThreadState* pState = m_pHead;
    m_pHead = pState->pNext;
    if (m_pHead == nullptr)
        m_pTail = nullptr;
    --m_nQueued;
    return pState;
}

void NThreadPool::RunOne(std::unique_lock<std::mutex>& Lock, NThreadState* pState)
{
    Lock.unlock();
    pState->pfnFunction(pState->pvArg);
    Lock.lock();
    // The owner may free pState as soon as the lock is released.
    pState->bDone = true;
    if (m_nDoneWaiters > 0)
        m_DoneCond.notify_all();
}

void NThreadPool::StarterEntry(void* pvPool)
{
    static_cast<NThreadPool*>(pvPool)->StarterMain();
}

void NThreadPool::WorkerEntry(void* pvPool)
{
    static_cast<NThreadPool*>(pvPool)->WorkerMain();
}

void NThreadPool::StarterMain()
{
    NThreadPlatform::PinModule();
    std::unique_lock<std::mutex> Lock(m_Mutex);
    for (;;)
    {
        m_StarterCond.wait(Lock, [this] { return NeedsThread(); });
        if (m_nThreads > 0 && !NThreadPlatform::RoomForAnotherThread())
        {
            m_StarterCond.wait_for(Lock, kStartRetry);
            continue;
        }
        ++m_nStarting;
        ++m_nThreads;
        if (StartThread(Lock, &NThreadPool::WorkerEntry))
            continue;
        --m_nStarting;
        --m_nThreads;
        // The queue still drains through running threads; with none, the starter runs the
        // oldest function itself so that each one handed over runs.
        if (m_nThreads == 0 && m_pHead != nullptr)
            RunOne(Lock, Pop());
        else
            m_StarterCond.wait_for(Lock, kStartRetry);
    }
}

void NThreadPool::WorkerMain()
{
    NThreadPlatform::NameCurrentThread("tarn-worker");
    std::unique_lock<std::mutex> Lock(m_Mutex);
    --m_nStarting;
    for (;;)
    {
        if (m_pHead == nullptr)
        {
            if (m_nIdle >= kMaxIdleThreads)
                break;
            ++m_nIdle;
            m_WorkCond.wait_for(Lock, kIdleTimeout, [this] { return m_pHead != nullptr; });
            --m_nIdle;
            if (m_pHead == nullptr)
                break;
        }
        RunOne(Lock, Pop());
    }
    --m_nThreads;
}

void NThreadPool::Wait(NThreadState* pState)
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    ++m_nDoneWaiters;
    m_DoneCond.wait(Lock, [pState] { return pState->bDone; });
    --m_nDoneWaiters;
}
} // namespace

NThread::NThread() : m_pState(nullptr) {}

NThread::~NThread()
{
    Destroy();
}

int NThread::Create(void (*pfnThreadFunction)(void*), void* pvArg)
{
    if (pfnThreadFunction == nullptr || m_pState != nullptr)
        return 0;

    NThreadState* pState = new (std::nothrow) NThreadState{pfnThreadFunction, pvArg, nullptr, false};
    if (pState == nullptr)
        return 0;

    // The lock throws std::system_error when the system refuses it, and making the pool
    // std::bad_alloc; none may leave.
    bool bQueued = false;
    try
    {
        bQueued = Pool().Submit(pState);
    }
    catch (...)
    {
    }
    if (!bQueued)
    {
        delete pState;
        return 0;
    }
    m_pState = pState;
    return 1;
}

int NThread::Destroy()
{
    if (m_pState == nullptr)
        return 0;

    // Waiting throws only when the system refuses the lock; the state is then left to the worker,
    // never freed, rather than the process ended.
    try
    {
        Pool().Wait(m_pState);
        delete m_pState;
    }
    catch (...)
    {
    }
    m_pState = nullptr;
    return 1;
}
