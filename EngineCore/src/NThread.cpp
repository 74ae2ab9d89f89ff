#include "EngineCore/NThread.h"

#include <new>
#include <thread>

struct NThreadState
{
    std::thread Thread;
};

NThread::NThread() : m_pState(nullptr) {}

NThread::~NThread()
{
    Destroy();
}

int NThread::Create(void (*pfnThreadFunction)(void*), void* pvArg)
{
    if (pfnThreadFunction == nullptr || m_pState != nullptr)
        return 0;

    NThreadState* pState = new (std::nothrow) NThreadState;
    if (pState == nullptr)
        return 0;

    // std::thread throws std::system_error when the system refuses a thread and std::bad_alloc
    // when its own state cannot be allocated; neither may leave the wrapper.
    try
    {
        pState->Thread = std::thread(pfnThreadFunction, pvArg);
    }
    catch (...)
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

    // join throws only when called from the thread itself, which the owner never does; should it
    // happen, the thread is let go rather than the process ended.
    try
    {
        if (m_pState->Thread.joinable())
            m_pState->Thread.join();
    }
    catch (...)
    {
        m_pState->Thread.detach();
    }
    delete m_pState;
    m_pState = nullptr;
    return 1;
}
