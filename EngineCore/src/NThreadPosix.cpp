#include "NThreadPlatform.h"

#include <pthread.h>

#include <thread>

bool NThreadPlatform::StartDetached(void (*pfnEntry)(void*), void* pvArg)
{
    // std::thread throws std::system_error when the system refuses the thread, and std::bad_alloc
    // when its own state cannot be allocated.
    try
    {
        std::thread(pfnEntry, pvArg).detach();
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void NThreadPlatform::NameCurrentThread(const char* pszName)
{
    pthread_setname_np(pthread_self(), pszName);
}

void NThreadPlatform::PinModule()
{
    // Nothing to do: the library is linked so that it is never unloaded.
}

bool NThreadPlatform::RoomForAnotherThread()
{
    // The system refuses a thread it cannot afford, and the pool copes with that.
    return true;
}

void NThreadPlatform::CallAroundFork(void (*pfnPrepare)(), void (*pfnParent)(), void (*pfnChild)())
{
    // Fails only for want of memory; the process then forks as if nothing were registered.
    pthread_atfork(pfnPrepare, pfnParent, pfnChild);
}
