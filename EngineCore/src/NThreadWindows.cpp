#include "NThreadPlatform.h"

#include <new>

#include <process.h>
#include <windows.h>

namespace
{
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

const char g_cModuleAnchor = 0;

struct NThreadStart
{
    void (*pfnEntry)(void*);
    void* pvArg;
};

unsigned __stdcall ThreadEntry(void* pvStart)
{
    const NThreadStart Start = *static_cast<NThreadStart*>(pvStart);
    delete static_cast<NThreadStart*>(pvStart);
    Start.pfnEntry(Start.pvArg);
    return 0;
}
} // namespace

bool NThreadPlatform::StartDetached(void (*pfnEntry)(void*), void* pvArg)
{
    NThreadStart* pStart = new (std::nothrow) NThreadStart{pfnEntry, pvArg};
    if (pStart == nullptr)
        return false;
    const uintptr_t uThread = _beginthreadex(nullptr, kStackReserveBytes, &ThreadEntry, pStart,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (uThread == 0)
    {
        delete pStart;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(uThread));
    return true;
}

void NThreadPlatform::NameCurrentThread(const char*)
{
    // Left unnamed: SetThreadDescription exists only from Windows 10 1607 on.
}

void NThreadPlatform::PinModule()
{
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_cModuleAnchor), &hModule);
}

bool NThreadPlatform::RoomForAnotherThread()
{
    void* pvBlock = VirtualAlloc(nullptr, kMinFreeAddressSpace, MEM_RESERVE, PAGE_NOACCESS);
    if (pvBlock == nullptr)
        return false;
    VirtualFree(pvBlock, 0, MEM_RELEASE);
    return true;
}

void NThreadPlatform::CallAroundFork(void (*)(), void (*)(), void (*)())
{
    // Windows has no fork.
}
