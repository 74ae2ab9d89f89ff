#pragma once

#include <pthread.h>

#include <atomic>
#include <new>

namespace tarn
{
namespace inet
{
// An object built in the module's static storage on the first Get() and never destroyed: threads
// and the host's static destructors may still use it while the process exits, and it holds no heap
// block of its own that would look lost once the module is unloaded. Built through pthread_once
// rather than as a function-local static: glibc has the child of a fork made while another thread
// was building the object build it afresh, where a local static's guard would stay taken in the
// child for good. T's default constructor must not throw.
template <typename T> class OnceImmortal
{
public:
    static T& Get()
    {
        pthread_once(&s_Once, &Build);
        return *std::launder(reinterpret_cast<T*>(s_Storage));
    }
    // The object once Get() has built it, else null; for fork handlers, which must not build it.
    static T* IfBuilt()
    {
        return s_bBuilt.load(std::memory_order_acquire) ? std::launder(reinterpret_cast<T*>(s_Storage))
                                                        : nullptr;
    }

private:
    static void Build()
    {
        new (s_Storage) T();
        s_bBuilt.store(true, std::memory_order_release);
    }

    static inline pthread_once_t s_Once = PTHREAD_ONCE_INIT;
    static inline std::atomic<bool> s_bBuilt{false};
    alignas(T) static inline unsigned char s_Storage[sizeof(T)];
};
} // namespace inet
} // namespace tarn
