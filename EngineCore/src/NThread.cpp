#include "EngineCore/NThread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#elif defined(__linux__)
#include <pthread.h>
#endif

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
#if defined(_WIN32)
// The address space each thread reserves for its stack. The executable's default (1 or 2 MiB)
// would let a 32-bit process run out of addresses at about a thousand requests in flight.
constexpr unsigned kStackReserveBytes = 512 * 1024;
// What a new thread needs of the address space in one piece besides its stack reservation: the
// system's own share of each thread (measured under 32-bit Wine: 2.1 MiB a thread in all for a
// 512 KiB reservation) and the first buffers of the request it runs (about 10 KiB for a small
// GET), with room to spare. Only when no free block is that large does a queued function wait for
// a running thread instead of a new one; a fragmented address space with many smaller blocks still
// runs its requests at once. Reserving the block and letting it go is the test: Wine's
// GlobalMemoryStatusEx does not count what threads take.
constexpr SIZE_T kThreadMarginBytes = SIZE_T(4) << 20;
constexpr SIZE_T kMinFreeAddressSpace = kStackReserveBytes + kThreadMarginBytes;

bool RoomForAnotherThread()
{
    void* pvBlock = VirtualAlloc(nullptr, kMinFreeAddressSpace, MEM_RESERVE, PAGE_NOACCESS);
    if (pvBlock == nullptr)
        return false;
    VirtualFree(pvBlock, 0, MEM_RELEASE);
    return true;
}
#endif
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
    // Starts a detached thread running pfnMain, with the lock released meanwhile.
    bool StartThread(std::unique_lock<std::mutex>& Lock, void (NThreadPool::*pfnMain)());
#if defined(_WIN32)
    template <void (NThreadPool::*pfnMain)()> static unsigned __stdcall ThreadEntry(void* pvPool)
    {
        (static_cast<NThreadPool*>(pvPool)->*pfnMain)();
        return 0;
    }
#endif
    NThreadState* Pop();
    void RunOne(std::unique_lock<std::mutex>& Lock, NThreadState* pState);
    bool NeedsThread() const
    {
        return m_nQueued > m_nIdle + m_nStarting;
    }
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

#if defined(_WIN32)
const char g_cModuleAnchor = 0;
#endif

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
    const bool bStarted = StartThread(Lock, &NThreadPool::StarterMain);
    if (!bStarted)
        m_bStarter = false;
    return bStarted;
}

bool NThreadPool::StartThread(std::unique_lock<std::mutex>& Lock, void (NThreadPool::*pfnMain)())
{
    Lock.unlock();
    bool bStarted = false;
#if defined(_WIN32)
    unsigned(__stdcall * pfnEntry)(void*) = pfnMain == &NThreadPool::StarterMain
                                                ? &NThreadPool::ThreadEntry<&NThreadPool::StarterMain>
                                                : &NThreadPool::ThreadEntry<&NThreadPool::WorkerMain>;
    const uintptr_t uThread = _beginthreadex(nullptr, kStackReserveBytes, pfnEntry, this,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (uThread != 0)
    {
        CloseHandle(reinterpret_cast<HANDLE>(uThread));
        bStarted = true;
    }
#else
    try
    {
        std::thread(pfnMain, this).detach();
        bStarted = true;
    }
    catch (...)
    {
    }
#endif
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

void NThreadPool::StarterMain()
{
#if defined(_WIN32)
    // Parked threads run this module's code until the process ends, so it must never be unloaded.
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_cModuleAnchor), &hModule);
#endif
    std::unique_lock<std::mutex> Lock(m_Mutex);
    for (;;)
    {
        m_StarterCond.wait(Lock, [this] { return NeedsThread(); });
#if defined(_WIN32)
        if (m_nThreads > 0 && !RoomForAnotherThread())
        {
            m_StarterCond.wait_for(Lock, kStartRetry);
            continue;
        }
#endif
        ++m_nStarting;
        ++m_nThreads;
        if (StartThread(Lock, &NThreadPool::WorkerMain))
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
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "tarn-worker"); // for debuggers and profilers
#endif
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

    // The lock and the thread starts throw std::system_error when the system refuses them, and
    // std::thread throws std::bad_alloc when its own state cannot be allocated; none may leave.
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
