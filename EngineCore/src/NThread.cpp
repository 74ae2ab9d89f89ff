#include "EngineCore/NThread.h"

#include <new>
#include <system_error>
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

    try
    {
        pState->Thread = std::thread(pfnThreadFunction, pvArg);
    }
    catch (const std::system_error&)
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

    if (m_pState->Thread.joinable())
        m_pState->Thread.join();
    delete m_pState;
    m_pState = nullptr;
    return 1;
}
