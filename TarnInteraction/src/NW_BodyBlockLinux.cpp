// Body blocks on Linux: a large block is a mapping of its own, aligned and advised for transparent
// huge pages.
#include "NW_BodyBlock.h"

#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace
{
// Transparent huge pages are 2 MiB on the machines this runs on; blocks from this size on get them.
const size_t HUGE_PAGE = size_t(2) << 20;
// Under AddressSanitizer every block comes from the heap, where the sanitizer sees it and its
// allocation limits apply.
#if defined(__SANITIZE_ADDRESS__)
const bool HEAP_ONLY = true;
#else
const bool HEAP_ONLY = false;
#endif

size_t MappingFor(size_t uSize)
{
    if (uSize > static_cast<size_t>(-1) - NW_BLOCK_HEAD_SIZE - 2 * HUGE_PAGE)
        return 0;
    return (NW_BLOCK_HEAD_SIZE + uSize + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

// uLength bytes of fresh memory at a huge-page boundary, advised for huge pages; null on failure.
void* MapAligned(size_t uLength)
{
    void* pvRaw =
        mmap(nullptr, uLength + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pvRaw == MAP_FAILED)
        return nullptr;
    const size_t uRaw = reinterpret_cast<size_t>(pvRaw);
    const size_t uLead = ((uRaw + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1)) - uRaw;
    if (uLead != 0)
        munmap(pvRaw, uLead);
    if (HUGE_PAGE - uLead != 0)
        munmap(static_cast<char*>(pvRaw) + uLead + uLength, HUGE_PAGE - uLead);
    void* pvBlock = static_cast<char*>(pvRaw) + uLead;
    madvise(pvBlock, uLength, MADV_HUGEPAGE); // advice only: without it the block still works
    return pvBlock;
}

NW_BLOCK_HEAD* MappedBlock(size_t uSize)
{
    const size_t uMapping = MappingFor(uSize);
    NW_BLOCK_HEAD* pHead = uMapping != 0 ? static_cast<NW_BLOCK_HEAD*>(MapAligned(uMapping)) : nullptr;
    if (pHead != nullptr)
    {
        pHead->uRoom = uMapping - NW_BLOCK_HEAD_SIZE;
        pHead->uMapping = uMapping;
    }
    return pHead;
}

// Grows or shrinks a mapped block by moving its pages: in place when the addresses after it are
// free, else onto a fresh aligned mapping that the move replaces.
NW_BLOCK_HEAD* RemapBlock(NW_BLOCK_HEAD* pHead, size_t uSize)
{
    const size_t uMapping = MappingFor(uSize);
    void* pvMoved = MAP_FAILED;
    void* pvTarget = nullptr;
    if (uMapping == 0)
        return nullptr;
    pvMoved = mremap(pHead, pHead->uMapping, uMapping, 0);
    if (pvMoved == MAP_FAILED)
    {
        pvTarget = MapAligned(uMapping);
        if (pvTarget == nullptr)
            return nullptr;
        pvMoved = mremap(pHead, pHead->uMapping, uMapping, MREMAP_MAYMOVE | MREMAP_FIXED, pvTarget);
        if (pvMoved == MAP_FAILED)
        {
            munmap(pvTarget, uMapping);
            return nullptr;
        }
    }
    pHead = static_cast<NW_BLOCK_HEAD*>(pvMoved);
    pHead->uRoom = uMapping - NW_BLOCK_HEAD_SIZE;
    pHead->uMapping = uMapping;
    return pHead;
}
} // namespace

NW_BLOCK_HEAD* NW_NewBlock(size_t uSize)
{
    if (uSize >= HUGE_PAGE && !HEAP_ONLY)
        return MappedBlock(uSize);
    return NW_HeapBlock(uSize);
}

void NW_FreeBlock(NW_BLOCK_HEAD* pHead)
{
    if (pHead->uMapping != 0)
        munmap(pHead, pHead->uMapping);
    else
        std::free(pHead);
}

bool NW_ResizeApart(NW_BLOCK_HEAD* pHead, size_t uSize, NW_BLOCK_HEAD** ppNew)
{
    if (pHead->uMapping != 0 && uSize >= HUGE_PAGE)
    {
        *ppNew = RemapBlock(pHead, uSize);
        return true;
    }
    if (pHead->uMapping == 0 && uSize < HUGE_PAGE)
        return false;
    // Between the heap and a mapping: one of the two is small, so the copy is too.
    *ppNew = NW_NewBlock(uSize);
    if (*ppNew != nullptr)
    {
        std::memcpy(reinterpret_cast<unsigned char*>(*ppNew) + NW_BLOCK_HEAD_SIZE,
                    reinterpret_cast<unsigned char*>(pHead) + NW_BLOCK_HEAD_SIZE,
                    pHead->uRoom < uSize ? pHead->uRoom : uSize);
        NW_FreeBlock(pHead);
    }
    return true;
}
