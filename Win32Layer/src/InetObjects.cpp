#include "InetObjects.h"

#include "Immortal.h"
#include "ThreadSafety.h"

#include <pthread.h>

#include <cstdint>
#include <unordered_map>

namespace tarn
{
namespace inet
{
namespace
{
// Constant-initialised, and taken alone: a call looks its handle up before it takes the request's
// call mutex, and nothing is locked while it is held.
Mutex g_RegistryMutex;

struct Registry
{
    std::unordered_map<std::uintptr_t, std::shared_ptr<InetObject>> Objects TARN_GUARDED_BY(g_RegistryMutex);
    // Handle values start well above small integers and the special handle values, and step by
    // 4 so that they look like aligned pointers to anyone printing them.
    std::uintptr_t uNext TARN_GUARDED_BY(g_RegistryMutex) = 0x10000;
};

// Handles may still be closed from static destructors of the host, so the registry outlives
// them.
Registry& TheRegistry()
{
    return OnceImmortal<Registry>::Get();
}

// fork() copies only the calling thread: the child must not inherit the registry's mutex held by
// another.
void LockBeforeFork() TARN_ACQUIRE(g_RegistryMutex)
{
    g_RegistryMutex.Lock();
}

void UnlockAfterFork() TARN_RELEASE(g_RegistryMutex)
{
    g_RegistryMutex.Unlock();
}

const struct RegistryUnloader
{
    // Registered as the module loads; glibc forgets them when the module is unloaded.
    RegistryUnloader() { pthread_atfork(&LockBeforeFork, &UnlockAfterFork, &UnlockAfterFork); }
    // When the module goes (at unload or exit) with no handle open, the registry lets its buckets go.
    ~RegistryUnloader()
    {
        Registry* pHandles = OnceImmortal<Registry>::IfBuilt();
        if (pHandles == nullptr)
            return;
        const MutexLock Held(g_RegistryMutex);
        if (pHandles->Objects.empty())
            decltype(pHandles->Objects)().swap(pHandles->Objects);
    }
} g_RegistryUnloader;
} // namespace

InetObject::InetObject(HandleKind eKind, const Timeouts& InitialTimeouts)
    : m_eKind(eKind), m_dwConnectMs(InitialTimeouts.dwConnectMs), m_dwSendMs(InitialTimeouts.dwSendMs),
      m_dwReceiveMs(InitialTimeouts.dwReceiveMs)
{
}

Timeouts InetObject::GetTimeouts() const
{
    Timeouts Values;
    Values.dwConnectMs = m_dwConnectMs.load();
    Values.dwSendMs = m_dwSendMs.load();
    Values.dwReceiveMs = m_dwReceiveMs.load();
    return Values;
}

bool InetObject::SetTimeout(DWORD dwOption, DWORD dwMilliseconds)
{
    switch (dwOption)
    {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
        m_dwConnectMs = dwMilliseconds;
        return true;
    case INTERNET_OPTION_SEND_TIMEOUT:
        m_dwSendMs = dwMilliseconds;
        return true;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
        m_dwReceiveMs = dwMilliseconds;
        return true;
    default:
        return false;
    }
}

HINTERNET RegisterHandle(std::shared_ptr<InetObject> pObject)
{
    if (!pObject)
        return nullptr;
    Registry& Reg = TheRegistry();
    const MutexLock Held(g_RegistryMutex);
    const std::uintptr_t uValue = Reg.uNext;
    Reg.uNext += 4;
    Reg.Objects.emplace(uValue, std::move(pObject));
    return reinterpret_cast<HINTERNET>(uValue);
}

std::shared_ptr<InetObject> LookupHandle(HINTERNET hInternet)
{
    if (hInternet == nullptr)
        return nullptr;
    Registry& Reg = TheRegistry();
    const MutexLock Held(g_RegistryMutex);
    const auto It = Reg.Objects.find(reinterpret_cast<std::uintptr_t>(hInternet));
    return It == Reg.Objects.end() ? nullptr : It->second;
}

std::shared_ptr<InetObject> UnregisterHandle(HINTERNET hInternet)
{
    if (hInternet == nullptr)
        return nullptr;
    Registry& Reg = TheRegistry();
    const MutexLock Held(g_RegistryMutex);
    const auto It = Reg.Objects.find(reinterpret_cast<std::uintptr_t>(hInternet));
    if (It == Reg.Objects.end())
        return nullptr;
    std::shared_ptr<InetObject> pObject = std::move(It->second);
    Reg.Objects.erase(It);
    return pObject;
}
} // namespace inet
} // namespace tarn
