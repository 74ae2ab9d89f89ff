#include "EngineCore/NThread.h"
#include "NIntrusiveList.h"
#include "NThreadPlatform.h"
#include "NThreadSafety.h"
#include "NThreadTestPoint.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

// Functions run on a process-wide set of threads. Create queues the function and wakes an idle
// thread; when none is idle, a starter thread (the only thread ever started by a caller, once per
// process) starts one more, so callers never wait for the system to create a thread, save for the
// starter itself: the caller that starts it, and any that need it meanwhile, wait for the outcome.
// A thread whose function returned takes the next queued one, or waits for one for a while; a
// function that finds a thread waiting is handed to it directly.

namespace
{
// Threads kept waiting once their function returned, and how long each waits for the next one.
constexpr int kMaxIdleThreads = 64;
constexpr std::chrono::seconds kIdleTimeout(15);
// How long the starter waits before trying again after the system refused a thread.
constexpr std::chrono::milliseconds kStartRetry(10);

// Which pool thread the current one is, if any: fork keeps the calling thread in the child.
thread_local bool t_bStarter = false;
thread_local bool t_bWorker = false;

// Raised in each child of a fork; see NThreadForkGeneration.
std::atomic<unsigned> g_uForkGeneration{0};
} // namespace

// bDone, uForkGeneration and the link belong to the pool's lock; the analysis cannot name it from
// here, since the pool is found at run time.
struct NThreadState
{
    NThreadState(void (*pfnThreadFunction)(void*), void* pvThreadArg)
        : pfnFunction(pfnThreadFunction), pvArg(pvThreadArg)
    {
    }

    void (*const pfnFunction)(void*);
    void* const pvArg;
    NListLink<NThreadState> QueueLink; // on the queue while waiting for a thread
    bool bDone = false;                // set once the function has returned
    unsigned uForkGeneration = 0;      // the pool's fork generation when queued
};

namespace
{
// A thread waiting for a function. The latest to wait is the first handed one, so that a steady
// trickle of functions keeps the same warm thread busy while the others run out their time.
struct NIdleThread
{
    std::condition_variable Cond;
    NThreadState* pHanded = nullptr; // set, and the thread taken off the idle list, by Submit
    NListLink<NIdleThread> IdleLink;
};

class NThreadPool
{
public:
    explicit NThreadPool(unsigned uForkGeneration) : m_uForkGeneration(uForkGeneration) {}

    // The pool, made on first use and never destroyed: parked threads may still use it while the
    // process exits. Throws std::bad_alloc when it cannot be made.
    static NThreadPool& Get();

    // Queues pState. Returns false when it cannot be guaranteed to run, having taken it back.
    bool Submit(NThreadState* pState) TARN_EXCLUDES(m_Mutex);
    void Wait(NThreadState* pState) TARN_EXCLUDES(m_Mutex);

private:
    enum class EStarter
    {
        eNone,
        eStarting, // one caller is starting it with the lock released
        eRunning,  // it runs until the process ends
    };

    bool EnsureStarter(NMutexLock& Held) TARN_REQUIRES(m_Mutex);
    // Moves the starter's state, refusing any move but eNone to eStarting to eRunning or back
    // to eNone.
    void SetStarter(EStarter eTo) TARN_REQUIRES(m_Mutex);
    // Starts a detached thread running pfnEntry(this), with the lock released meanwhile.
    bool StartThread(void (*pfnEntry)(void*)) TARN_REQUIRES(m_Mutex);
    NThreadState* Pop() TARN_REQUIRES(m_Mutex);
    void RunOne(NThreadState* pState) TARN_REQUIRES(m_Mutex);
    // Functions wait in the queue only while no thread is idle.
    bool NeedsThread() const TARN_REQUIRES(m_Mutex) { return m_nQueued > m_nStarting; }
    void PushIdle(NIdleThread& Idle) TARN_REQUIRES(m_Mutex);
    void UnlinkIdle(NIdleThread& Idle) TARN_REQUIRES(m_Mutex);
    // Waits as an idle thread; returns the function handed over, or null after kIdleTimeout.
    NThreadState* AwaitHanded(NMutexLock& Held) TARN_REQUIRES(m_Mutex);
    static void StarterEntry(void* pvPool);
    static void WorkerEntry(void* pvPool);
    void StarterMain() TARN_EXCLUDES(m_Mutex);
    void WorkerMain() TARN_EXCLUDES(m_Mutex);

    // Get without throwing: null when out of memory.
    static NThreadPool* Find();

public:
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

private:
    // Taken alone: nothing else of EngineCore is locked while it is held, and the functions run
    // without it.
    NMutex m_Mutex;
    std::condition_variable m_StarterCond; // the starter waits here for a thread to start
    std::condition_variable m_DoneCond;    // Destroy waits here for a function to return
    std::condition_variable m_StartedCond; // callers wait here while another starts the starter
    NIntrusiveList<NThreadState, &NThreadState::QueueLink> m_Queue TARN_GUARDED_BY(m_Mutex);
    int m_nQueued TARN_GUARDED_BY(m_Mutex) = 0;
    // The latest to wait is last: the first handed a function.
    NIntrusiveList<NIdleThread, &NIdleThread::IdleLink> m_Idle TARN_GUARDED_BY(m_Mutex);
    int m_nIdle TARN_GUARDED_BY(m_Mutex) = 0;     // threads on the idle list
    int m_nStarting TARN_GUARDED_BY(m_Mutex) = 0; // threads asked of the system, not yet waiting or working
    int m_nThreads TARN_GUARDED_BY(m_Mutex) = 0;  // running threads, the starter excepted
    int m_nDoneWaiters TARN_GUARDED_BY(m_Mutex) = 0;
    EStarter m_eStarter TARN_GUARDED_BY(m_Mutex) = EStarter::eNone;
    // Forks this process is away from the pool's first process.
    unsigned m_uForkGeneration TARN_GUARDED_BY(m_Mutex);
};

// Made without a lock or a local static's guard, which a fork while another thread was making the
// pool would leave taken in the child for good: racing makers each build one, and all but the
// first to publish theirs throw it away.
std::atomic<NThreadPool*> g_pPool{nullptr};

// The pool the fork handlers locked on this thread, the one that forks.
thread_local NThreadPool* t_pLockedForFork = nullptr;

// Registered as the module loads, so that the pool is never without them.
const struct NForkGuard
{
    NForkGuard()
    {
        NThreadPlatform::CallAroundFork(&NThreadPool::BeforeFork, &NThreadPool::AfterForkInParent,
                                        &NThreadPool::AfterForkInChild);
    }
} g_ForkGuard;

NThreadPool* NThreadPool::Find()
{
    NThreadPool* pPool = g_pPool.load(std::memory_order_acquire);
    if (pPool != nullptr)
        return pPool;
    NThreadPool* pMade = new (std::nothrow) NThreadPool(g_uForkGeneration.load(std::memory_order_relaxed));
    if (pMade == nullptr)
        return nullptr;
    if (g_pPool.compare_exchange_strong(pPool, pMade, std::memory_order_acq_rel, std::memory_order_acquire))
        return pMade;
    delete pMade;
    return pPool;
}

NThreadPool& NThreadPool::Get()
{
    NThreadPool* pPool = Find();
    if (pPool == nullptr)
        throw std::bad_alloc();
    return *pPool;
}

bool NThreadPool::Submit(NThreadState* pState)
{
    NMutexLock Held(m_Mutex);
    if (NIdleThread* pIdle = m_Idle.PopBack())
    {
        // Straight to the latest idle thread, which alone is woken.
        --m_nIdle;
        pState->uForkGeneration = m_uForkGeneration;
        pIdle->pHanded = pState;
        pIdle->Cond.notify_one();
        return true;
    }
    // Without a starter only a running thread can take it, once its own function returns.
    if (!EnsureStarter(Held) && m_nThreads == 0)
        return false;

    pState->uForkGeneration = m_uForkGeneration;
    m_Queue.PushBack(*pState);
    ++m_nQueued;

    if (NeedsThread())
        m_StarterCond.notify_one();
    return true;
}

bool NThreadPool::EnsureStarter(NMutexLock& Held)
{
    // Queuing on the strength of another caller's start would strand the function if that start
    // failed with no thread running: wait for its outcome, and try again after a failure.
    while (m_eStarter == EStarter::eStarting)
        m_StartedCond.wait(Held.Native());
    if (m_eStarter == EStarter::eRunning)
        return true;
    SetStarter(EStarter::eStarting);
    const bool bStarted = StartThread(&NThreadPool::StarterEntry);
    SetStarter(bStarted ? EStarter::eRunning : EStarter::eNone);
    m_StartedCond.notify_all();
    return bStarted;
}

void NThreadPool::SetStarter(EStarter eTo)
{
    const bool bLegal =
        eTo == EStarter::eStarting ? m_eStarter == EStarter::eNone : m_eStarter == EStarter::eStarting;
    if (bLegal)
        m_eStarter = eTo;
}

bool NThreadPool::StartThread(void (*pfnEntry)(void*))
{
    m_Mutex.Unlock();
    const bool bStarted = (pfnEntry != &NThreadPool::StarterEntry ||
                           NThreadPassTestPoint(ENThreadTestPoint::eStartingStarter)) &&
                          NThreadPlatform::StartDetached(pfnEntry, this);
    m_Mutex.Lock();
    return bStarted;
}

NThreadState* NThreadPool::Pop()
{
    --m_nQueued;
    return m_Queue.PopFront();
}

void NThreadPool::RunOne(NThreadState* pState)
{
    m_Mutex.Unlock();
    pState->pfnFunction(pState->pvArg);
    NThreadPassTestPoint(ENThreadTestPoint::eFunctionReturned);
    m_Mutex.Lock();
    // The owner may free pState as soon as the lock is released.
    pState->bDone = true;
    if (m_nDoneWaiters > 0)
        m_DoneCond.notify_all();
}

void NThreadPool::StarterEntry(void* pvPool)
{
    t_bStarter = true;
    static_cast<NThreadPool*>(pvPool)->StarterMain();
}

void NThreadPool::WorkerEntry(void* pvPool)
{
    t_bWorker = true;
    static_cast<NThreadPool*>(pvPool)->WorkerMain();
}

void NThreadPool::StarterMain()
{
    NThreadPlatform::NameCurrentThread("tarn-starter");
    NThreadPlatform::PinModule();
    NMutexLock Held(m_Mutex);
    for (;;)
    {
        while (!NeedsThread())
            m_StarterCond.wait(Held.Native());
        if (m_nThreads > 0 && !NThreadPlatform::RoomForAnotherThread())
        {
            m_StarterCond.wait_for(Held.Native(), kStartRetry);
            continue;
        }
        ++m_nStarting;
        ++m_nThreads;
        if (StartThread(&NThreadPool::WorkerEntry))
            continue;
        --m_nStarting;
        --m_nThreads;
        // The queue still drains through running threads; with none, the starter runs the
        // oldest function itself so that each one handed over runs.
        if (m_nThreads == 0 && !m_Queue.Empty())
            RunOne(Pop());
        else
            m_StarterCond.wait_for(Held.Native(), kStartRetry);
    }
}

void NThreadPool::WorkerMain()
{
    NThreadPlatform::NameCurrentThread("tarn-worker");
    NMutexLock Held(m_Mutex);
    --m_nStarting;
    for (;;)
    {
        if (!m_Queue.Empty())
        {
            RunOne(Pop());
            continue;
        }
        if (m_nIdle >= kMaxIdleThreads)
            break;
        NThreadState* const pHanded = AwaitHanded(Held);
        if (pHanded == nullptr)
            break;
        RunOne(pHanded);
    }
    --m_nThreads;
}

NThreadState* NThreadPool::AwaitHanded(NMutexLock& Held)
{
    NIdleThread Idle;
    PushIdle(Idle);
    const auto Deadline = std::chrono::steady_clock::now() + kIdleTimeout;
    while (Idle.pHanded == nullptr &&
           Idle.Cond.wait_until(Held.Native(), Deadline) == std::cv_status::no_timeout)
    {
    }
    // Submit takes a thread off the list as it hands it a function.
    if (Idle.pHanded == nullptr)
        UnlinkIdle(Idle);
    return Idle.pHanded;
}

void NThreadPool::PushIdle(NIdleThread& Idle)
{
    m_Idle.PushBack(Idle);
    ++m_nIdle;
}

void NThreadPool::UnlinkIdle(NIdleThread& Idle)
{
    m_Idle.Remove(Idle);
    --m_nIdle;
}

void NThreadPool::Wait(NThreadState* pState)
{
    NMutexLock Held(m_Mutex);
    // Queued before a fork: its thread, if it ever had one, runs in the parent.
    if (pState->uForkGeneration != m_uForkGeneration)
        return;
    ++m_nDoneWaiters;
    while (!pState->bDone)
        m_DoneCond.wait(Held.Native());
    --m_nDoneWaiters;
}

// The child of a fork has only the thread that forked. Holding the lock across the fork keeps the
// pool's state whole in the child, which then starts afresh: no threads, nothing queued, and a
// new mutex and condition variables, since the copied ones may count the parent's waiters. The
// pool is made here if need be, so that none can appear unlocked meanwhile; when memory runs out
// there is none to lock. The handlers lock in one and unlock in another a pool found at run time,
// which the analysis cannot name: it is left out of them.
void NThreadPool::BeforeFork() TARN_NO_THREAD_SAFETY_ANALYSIS
{
    t_pLockedForFork = Find();
    if (t_pLockedForFork != nullptr)
        t_pLockedForFork->m_Mutex.Lock();
}

void NThreadPool::AfterForkInParent() TARN_NO_THREAD_SAFETY_ANALYSIS
{
    if (t_pLockedForFork != nullptr)
        t_pLockedForFork->m_Mutex.Unlock();
    t_pLockedForFork = nullptr;
}

void NThreadPool::AfterForkInChild() TARN_NO_THREAD_SAFETY_ANALYSIS
{
    const unsigned uForkGeneration = g_uForkGeneration.fetch_add(1, std::memory_order_relaxed) + 1;
    NThreadPool* const pPool = t_pLockedForFork;
    t_pLockedForFork = nullptr;
    if (pPool == nullptr)
        return;
    pPool->m_Mutex.Unlock();
    new (pPool) NThreadPool(uForkGeneration);
    // A pool thread that forked from inside a function carries on in the child once it returns.
    pPool->m_eStarter = t_bStarter ? EStarter::eRunning : EStarter::eNone;
    pPool->m_nThreads = t_bWorker ? 1 : 0;
}
} // namespace

unsigned NThreadForkGeneration()
{
    return g_uForkGeneration.load(std::memory_order_relaxed);
}

NThread::NThread() : m_pState(nullptr) {}

NThread::~NThread()
{
    Destroy();
}

int NThread::Create(void (*pfnThreadFunction)(void*), void* pvArg)
{
    if (pfnThreadFunction == nullptr || m_pState != nullptr)
        return 0;

    NThreadState* pState = new (std::nothrow) NThreadState(pfnThreadFunction, pvArg);
    if (pState == nullptr)
        return 0;

    // The lock throws std::system_error when the system refuses it, and making the pool
    // std::bad_alloc; none may leave.
    bool bQueued = false;
    try
    {
        bQueued = NThreadPool::Get().Submit(pState);
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
        NThreadPool::Get().Wait(m_pState);
        delete m_pState;
    }
    catch (...)
    {
    }
    m_pState = nullptr;
    return 1;
}
