#pragma once

// Clang's thread-safety analysis for EngineCore and the Linux layer: each mutex, what it guards and
// the order in which mutexes are taken are declared beside the data, and a Clang build with
// -Wthread-safety checks every access. Other compilers see a plain std::mutex.
//
// Header-only and never installed: EngineCore and the layer each compile their own copy, so that
// neither links the other for it.
//
// Conditions are waited on through NMutexLock::Native(); a wait lets the mutex go and takes it
// back before it returns, so the analysis rightly sees it held throughout. Waits are written as
// loops, not with predicate lambdas, which the analysis would check as functions of their own.
#include <mutex>

#if defined(__clang__)
#define TARN_TSA(x) __attribute__((x))
#else
#define TARN_TSA(x)
#endif

#define TARN_CAPABILITY(x) TARN_TSA(capability(x))
#define TARN_SCOPED_CAPABILITY TARN_TSA(scoped_lockable)
#define TARN_GUARDED_BY(x) TARN_TSA(guarded_by(x))
#define TARN_ACQUIRED_BEFORE(...) TARN_TSA(acquired_before(__VA_ARGS__))
#define TARN_ACQUIRED_AFTER(...) TARN_TSA(acquired_after(__VA_ARGS__))
#define TARN_REQUIRES(...) TARN_TSA(requires_capability(__VA_ARGS__))
#define TARN_EXCLUDES(...) TARN_TSA(locks_excluded(__VA_ARGS__))
#define TARN_ACQUIRE(...) TARN_TSA(acquire_capability(__VA_ARGS__))
#define TARN_RELEASE(...) TARN_TSA(release_capability(__VA_ARGS__))
#define TARN_NO_THREAD_SAFETY_ANALYSIS TARN_TSA(no_thread_safety_analysis)

// Constant-initialised, so a mutex at namespace scope is usable from the first call on any thread.
class TARN_CAPABILITY("mutex") NMutex
{
public:
    void Lock() TARN_ACQUIRE() { m_Mutex.lock(); }
    void Unlock() TARN_RELEASE() { m_Mutex.unlock(); }
    std::mutex& Native() { return m_Mutex; }

private:
    std::mutex m_Mutex;
};

// Holds an NMutex for its scope; Unlock and Relock let it go for a while.
class TARN_SCOPED_CAPABILITY NMutexLock
{
public:
    explicit NMutexLock(NMutex& Held) TARN_ACQUIRE(Held) : m_Lock(Held.Native()) {}
    ~NMutexLock() TARN_RELEASE() {}
    NMutexLock(const NMutexLock&) = delete;
    NMutexLock& operator=(const NMutexLock&) = delete;

    void Unlock() TARN_RELEASE() { m_Lock.unlock(); }
    void Relock() TARN_ACQUIRE() { m_Lock.lock(); }
    // For std::condition_variable.
    std::unique_lock<std::mutex>& Native() { return m_Lock; }

private:
    std::unique_lock<std::mutex> m_Lock;
};
