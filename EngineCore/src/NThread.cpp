#include "EngineCore/NThread.h"
#include "EngineCore/NThreadTestHook.h"
#include "NThreadPlatform.h"

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

std::atomic<NThreadTestHook> g_pfnTestHook{nullptr};

bool PassTestPoint(ENThreadTestPoint ePoint)
{
    const NThreadTestHook pfnHook = g_pfnTestHook.load(std::memory_order_acquire);
    return pfnHook == nullptr || pfnHook(ePoint);
}

// Which pool thread the current one is, if any: fork keeps the calling thread in the child.
thread_local bool t_bStarter = false;
thread_local bool t_bWorker = false;

// Raised in each child of a fork; see NThreadForkGeneration.
std::atomic<unsigned> g_uForkGeneration{0};
} // namespace

struct NThreadState
{
    void (*pfnFunction)(void*);
    void* pvArg;
    NThreadState* pNext;      // the queue's link while waiting for a thread
    bool bDone;               // set under the pool's lock once the function has returned
    unsigned uForkGeneration; // the pool's fork generation when queued
};

namespace
{
// A thread waiting for a function. The latest to wait is the first handed one, so that a steady
// trickle of functions keeps the same warm thread busy while the others run out their time.
struct NIdleThread
{
    std::condition_variable Cond;
    NThreadState* pHanded = nullptr; // set, and the thread taken off the idle list, by Submit
    NIdleThread* pPrev = nullptr;
    NIdleThread* pNext = nullptr;
};

class NThreadPool
{
public:
    explicit NThreadPool(unsigned uForkGeneration) : m_uForkGeneration(uForkGeneration) {}

    // The pool, made on first use and never destroyed: parked threads may still use it while the
    // process exits. Throws std::bad_alloc when it cannot be made.
    static NThreadPool& Get();

    // Queues pState. Returns false when it cannot be guaranteed to run, having taken it back.
    bool Submit(NThreadState* pState);
    void Wait(NThreadState* pState);

private:
    enum class EStarter
    {
        eNone,
        eStarting, // one caller is starting it with the lock released
        eRunning,  // it runs until the process ends
    };

    bool EnsureStarter(std::unique_lock<std::mutex>& Lock);
    // Starts a detached thread running pfnEntry(this), with the lock released meanwhile.
    bool StartThread(std::unique_lock<std::mutex>& Lock, void (*pfnEntry)(void*));
    NThreadState* Pop();
    void RunOne(std::unique_lock<std::mutex>& Lock, NThreadState* pState);
    // Functions wait in the queue only while no thread is idle.
    bool NeedsThread() const { return m_nQueued > m_nStarting; }
    void PushIdle(NIdleThread& Idle);
    void UnlinkIdle(NIdleThread& Idle);
    static void StarterEntry(void* pvPool);
    static void WorkerEntry(void* pvPool);
    void StarterMain();
    void WorkerMain();

    // Get without throwing: null when out of memory.
    static NThreadPool* Find();

public:
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

private:
    std::mutex m_Mutex;
    std::condition_variable m_StarterCond; // the starter waits here for a thread to start
    std::condition_variable m_DoneCond;    // Destroy waits here for a function to return
    std::condition_variable m_StartedCond; // callers wait here while another starts the starter
    NThreadState* m_pHead = nullptr;
    NThreadState* m_pTail = nullptr;
    int m_nQueued = 0;
    NIdleThread* m_pIdleTop = nullptr; // the latest idle thread; the list runs on by pNext
    int m_nIdle = 0;                   // threads on the idle list
    int m_nStarting = 0;               // threads asked of the system and not yet waiting or working
    int m_nThreads = 0;                // running threads, the starter excepted
    int m_nDoneWaiters = 0;
    EStarter m_eStarter = EStarter::eNone;
    unsigned m_uForkGeneration; // forks this process is away from the pool's first process
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
    std::unique_lock<std::mutex> Lock(m_Mutex);
    if (m_pIdleTop != nullptr)
    {
        // Straight to the latest idle thread, which alone is woken.
        NIdleThread& Idle = *m_pIdleTop;
        UnlinkIdle(Idle);
        pState->uForkGeneration = m_uForkGeneration;
        Idle.pHanded = pState;
        Idle.Cond.notify_one();
        return true;
    }
    // Without a starter only a running thread can take it, once its own function returns.
    if (!EnsureStarter(Lock) && m_nThreads == 0)
        return false;

    pState->pNext = nullptr;
    pState->uForkGeneration = m_uForkGeneration;
    if (m_pTail != nullptr)
        m_pTail->pNext = pState;
    else
        m_pHead = pState;
    m_pTail = pState;
    ++m_nQueued;

    if (NeedsThread())
        m_StarterCond.notify_one();
    return true;
}

bool NThreadPool::EnsureStarter(std::unique_lock<std::mutex>& Lock)
{
    // Queuing on the strength of another caller's start would strand the function if that start
    // failed with no thread running: wait for its outcome, and try again after a failure.
    m_StartedCond.wait(Lock, [this] { return m_eStarter != EStarter::eStarting; });
    if (m_eStarter == EStarter::eRunning)
        return true;
    m_eStarter = EStarter::eStarting;
    const bool bStarted = StartThread(Lock, &NThreadPool::StarterEntry);
    m_eStarter = bStarted ? EStarter::eRunning : EStarter::eNone;
    m_StartedCond.notify_all();
    return bStarted;
}

bool NThreadPool::StartThread(std::unique_lock<std::mutex>& Lock, void (*pfnEntry)(void*))
{
    Lock.unlock();
    const bool bStarted =
        (pfnEntry != &NThreadPool::StarterEntry || PassTestPoint(ENThreadTestPoint::eStartingStarter)) &&
        NThreadPlatform::StartDetached(pfnEntry, this);
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
    PassTestPoint(ENThreadTestPoint::eFunctionReturned);
    Lock.lock();
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
        if (m_pHead != nullptr)
        {
            RunOne(Lock, Pop());
            continue;
        }
        if (m_nIdle >= kMaxIdleThreads)
            break;
        NIdleThread Idle;
        PushIdle(Idle);
        Idle.Cond.wait_for(Lock, kIdleTimeout, [&Idle] { return Idle.pHanded != nullptr; });
        if (Idle.pHanded == nullptr)
        {
            UnlinkIdle(Idle);
            break;
        }
        RunOne(Lock, Idle.pHanded);
    }
    --m_nThreads;
}

void NThreadPool::PushIdle(NIdleThread& Idle)
{
    Idle.pNext = m_pIdleTop;
    if (m_pIdleTop != nullptr)
        m_pIdleTop->pPrev = &Idle;
    m_pIdleTop = &Idle;
    ++m_nIdle;
}

void NThreadPool::UnlinkIdle(NIdleThread& Idle)
{
    if (Idle.pPrev != nullptr)
        Idle.pPrev->pNext = Idle.pNext;
    else
        m_pIdleTop = Idle.pNext;
    if (Idle.pNext != nullptr)
        Idle.pNext->pPrev = Idle.pPrev;
    Idle.pPrev = nullptr;
    Idle.pNext = nullptr;
    --m_nIdle;
}

void NThreadPool::Wait(NThreadState* pState)
{
    std::unique_lock<std::mutex> Lock(m_Mutex);
    // Queued before a fork: its thread, if it ever had one, runs in the parent.
    if (pState->uForkGeneration != m_uForkGeneration)
        return;
    ++m_nDoneWaiters;
    m_DoneCond.wait(Lock, [pState] { return pState->bDone; });
    --m_nDoneWaiters;
}

// The child of a fork has only the thread that forked. Holding the lock across the fork keeps the
// pool's state whole in the child, which then starts afresh: no threads, nothing queued, and a
// new mutex and condition variables, since the copied ones may count the parent's waiters. The
// pool is made here if need be, so that none can appear unlocked meanwhile; when memory runs out
// there is none to lock.
void NThreadPool::BeforeFork()
{
    t_pLockedForFork = Find();
    if (t_pLockedForFork != nullptr)
        t_pLockedForFork->m_Mutex.lock();
}

void NThreadPool::AfterForkInParent()
{
    if (t_pLockedForFork != nullptr)
        t_pLockedForFork->m_Mutex.unlock();
    t_pLockedForFork = nullptr;
}

void NThreadPool::AfterForkInChild()
{
    const unsigned uForkGeneration = g_uForkGeneration.fetch_add(1, std::memory_order_relaxed) + 1;
    NThreadPool* const pPool = t_pLockedForFork;
    t_pLockedForFork = nullptr;
    if (pPool == nullptr)
        return;
    pPool->m_Mutex.unlock();
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

void NThreadSetTestHook(NThreadTestHook pfnHook)
{
    g_pfnTestHook.store(pfnHook, std::memory_order_release);
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

    NThreadState* pState = new (std::nothrow) NThreadState{pfnThreadFunction, pvArg, nullptr, false, 0};
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
