// The replacements call glibc's own entry points (__libc_malloc and its kin) for the real work,
// so they need no look-up at start and are safe in every thread, ld.so's own allocations for
// thread-local data included.
#include "AllocFault.h"
#include "ReplacedNew.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C"
{
    void* __libc_malloc(size_t uSize);
    void* __libc_calloc(size_t uCount, size_t uSize);
    void* __libc_realloc(void* p, size_t uSize);
    void* __libc_memalign(size_t uAlign, size_t uSize);
    void __libc_free(void* p);
}

namespace tarn
{
namespace test
{
namespace alloc
{
namespace
{
constexpr int kOff = -1;
std::atomic<int> g_nMode{kOff};
std::atomic<std::uint64_t> g_uN{0};
std::atomic<std::uint64_t> g_uCount{0};
std::atomic<std::uint64_t> g_uFailed{0};
std::atomic<std::int64_t> g_nLive{0};
std::atomic<const void*> g_pvFirstFailedSite{nullptr};

// An open-addressing set of return addresses; 0 marks a free slot.
constexpr std::size_t kSiteSlots = 1 << 14;
std::atomic<std::uintptr_t> g_Sites[kSiteSlots];
std::atomic<std::size_t> g_uSiteCount{0};

void NoteSite(const void* pvSite)
{
    const std::uintptr_t uSite = reinterpret_cast<std::uintptr_t>(pvSite);
    std::size_t uSlot = (uSite * 0x9E3779B97F4A7C15ull >> 20) & (kSiteSlots - 1);
    for (std::size_t uProbe = 0; uProbe < kSiteSlots; ++uProbe, uSlot = (uSlot + 1) & (kSiteSlots - 1))
    {
        std::uintptr_t uSeen = g_Sites[uSlot].load(std::memory_order_relaxed);
        if (uSeen == uSite)
            return;
        if (uSeen == 0 && g_Sites[uSlot].compare_exchange_strong(uSeen, uSite))
        {
            ++g_uSiteCount;
            return;
        }
        if (uSeen == uSite)
            return;
    }
}

// The blocks allocated since Arm, with their call sites, so that what a run leaves behind can be
// named. Open addressing; a freed slot keeps a tombstone until the next Arm.
constexpr std::size_t kBlockSlots = 1 << 16;
constexpr std::uintptr_t kTombstone = 1;
struct BlockSlot
{
    std::atomic<std::uintptr_t> uBlock;
    std::atomic<const void*> pvSite;
};
BlockSlot g_Blocks[kBlockSlots];
std::atomic<bool> g_bTracking{false};

std::size_t BlockHash(std::uintptr_t uBlock)
{
    return (uBlock * 0x9E3779B97F4A7C15ull >> 24) & (kBlockSlots - 1);
}

void TrackBlock(void* p, const void* pvSite)
{
    if (p == nullptr || !g_bTracking.load(std::memory_order_acquire))
        return;
    const std::uintptr_t uBlock = reinterpret_cast<std::uintptr_t>(p);
    std::size_t uSlot = BlockHash(uBlock);
    for (std::size_t uProbe = 0; uProbe < kBlockSlots; ++uProbe, uSlot = (uSlot + 1) & (kBlockSlots - 1))
    {
        std::uintptr_t uSeen = g_Blocks[uSlot].uBlock.load();
        if ((uSeen == 0 || uSeen == kTombstone) &&
            g_Blocks[uSlot].uBlock.compare_exchange_strong(uSeen, uBlock))
        {
            g_Blocks[uSlot].pvSite = pvSite;
            return;
        }
    }
}

void UntrackBlock(void* p)
{
    if (p == nullptr)
        return;
    const std::uintptr_t uBlock = reinterpret_cast<std::uintptr_t>(p);
    std::size_t uSlot = BlockHash(uBlock);
    for (std::size_t uProbe = 0; uProbe < kBlockSlots; ++uProbe, uSlot = (uSlot + 1) & (kBlockSlots - 1))
    {
        std::uintptr_t uSeen = g_Blocks[uSlot].uBlock.load();
        if (uSeen == 0)
            return;
        if (uSeen == uBlock && g_Blocks[uSlot].uBlock.compare_exchange_strong(uSeen, kTombstone))
            return;
    }
}

// Counts one allocation; true when it is to fail.
bool ShouldFail(const void* pvSite)
{
    const int nMode = g_nMode.load(std::memory_order_acquire);
    if (nMode == kOff)
        return false;
    const std::uint64_t uIndex = ++g_uCount;
    bool bFail = false;
    switch (static_cast<Mode>(nMode))
    {
    case Mode::Count:
        NoteSite(pvSite);
        break;
    case Mode::FailOne:
        bFail = uIndex == g_uN.load();
        break;
    case Mode::FailFrom:
        bFail = uIndex >= g_uN.load();
        break;
    }
    if (bFail && ++g_uFailed == 1)
        g_pvFirstFailedSite = pvSite;
    return bFail;
}

void* Allocated(void* p, const void* pvSite)
{
    if (p != nullptr)
    {
        ++g_nLive;
        TrackBlock(p, pvSite);
    }
    return p;
}

void* Malloc(size_t uSize, const void* pvSite)
{
    return ShouldFail(pvSite) ? nullptr : Allocated(__libc_malloc(uSize), pvSite);
}

void* Realloc(void* p, size_t uSize, const void* pvSite)
{
    if (ShouldFail(pvSite))
        return nullptr; // the block stays as it was
    void* pNew = __libc_realloc(p, uSize);
    if (pNew != nullptr)
    {
        UntrackBlock(p);
        TrackBlock(pNew, pvSite);
    }
    return pNew;
}

void* Memalign(size_t uAlign, size_t uSize, const void* pvSite)
{
    return ShouldFail(pvSite) ? nullptr : Allocated(__libc_memalign(uAlign, uSize), pvSite);
}

void Free(void* p)
{
    if (p == nullptr)
        return;
    --g_nLive;
    UntrackBlock(p);
    __libc_free(p);
}
} // namespace

void Arm(Mode eMode, std::uint64_t uN)
{
    g_uN = uN;
    g_uCount = 0;
    g_uFailed = 0;
    g_pvFirstFailedSite = nullptr;
    g_bTracking = false;
    for (BlockSlot& Slot : g_Blocks)
        Slot.uBlock = 0;
    g_bTracking.store(true, std::memory_order_release);
    g_nMode.store(static_cast<int>(eMode), std::memory_order_release);
}

std::uint64_t Disarm()
{
    g_nMode.store(kOff, std::memory_order_release);
    g_bTracking.store(false, std::memory_order_release);
    return g_uCount.load();
}

std::size_t LeakedSites(const void** ppvSites, std::size_t uMax)
{
    std::size_t uCount = 0;
    for (const BlockSlot& Slot : g_Blocks)
    {
        const std::uintptr_t uBlock = Slot.uBlock.load();
        if (uBlock == 0 || uBlock == kTombstone)
            continue;
        if (uCount < uMax)
            ppvSites[uCount] = Slot.pvSite.load();
        ++uCount;
    }
    return uCount;
}

std::uint64_t Failed()
{
    return g_uFailed.load();
}

const void* FirstFailedSite()
{
    return g_pvFirstFailedSite.load();
}

std::int64_t Live()
{
    return g_nLive.load();
}

std::size_t CallSites()
{
    return g_uSiteCount.load();
}
} // namespace alloc
} // namespace test
} // namespace tarn

using tarn::test::alloc::Allocated;
using tarn::test::alloc::Free;
using tarn::test::alloc::Malloc;
using tarn::test::alloc::Memalign;
using tarn::test::alloc::Realloc;
using tarn::test::alloc::ShouldFail;

extern "C" void* malloc(size_t uSize) noexcept
{
    return Malloc(uSize, __builtin_return_address(0));
}

extern "C" void* calloc(size_t uCount, size_t uSize) noexcept
{
    const void* pvSite = __builtin_return_address(0);
    return ShouldFail(pvSite) ? nullptr : Allocated(__libc_calloc(uCount, uSize), pvSite);
}

extern "C" void* realloc(void* p, size_t uSize) noexcept
{
    if (p == nullptr)
        return Malloc(uSize, __builtin_return_address(0));
    if (uSize == 0)
    {
        Free(p);
        return nullptr;
    }
    return Realloc(p, uSize, __builtin_return_address(0));
}

extern "C" void free(void* p) noexcept
{
    Free(p);
}

extern "C" void* memalign(size_t uAlign, size_t uSize) noexcept
{
    return Memalign(uAlign, uSize, __builtin_return_address(0));
}

extern "C" void* aligned_alloc(size_t uAlign, size_t uSize) noexcept
{
    return Memalign(uAlign, uSize, __builtin_return_address(0));
}

extern "C" int posix_memalign(void** ppv, size_t uAlign, size_t uSize) noexcept
{
    void* p = Memalign(uAlign, uSize, __builtin_return_address(0));
    if (p == nullptr)
        return ENOMEM;
    *ppv = p;
    return 0;
}

// operator new (support/ReplacedNew.cpp) comes here with its caller's address, so that its call
// sites are the callers' and not one inside the C++ runtime.
void* ReplacedNewAllocate(std::size_t uSize, const void* pvCaller) noexcept
{
    return Malloc(uSize, pvCaller);
}

void ReplacedNewFree(void* p) noexcept
{
    Free(p);
}
