#include "NW_BodyMemory.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace
{
// Each block starts with this record; the caller's bytes follow it at a 64-byte offset.
struct BlockHead
{
    size_t uRoom;    // bytes the caller may use
    size_t uMapping; // length of the block's own mapping; 0 for a heap block
};
const size_t HEAD_SIZE = 64;

unsigned char* Body(BlockHead* pHead)
{
    return reinterpret_cast<unsigned char*>(pHead) + HEAD_SIZE;
}

BlockHead* HeadOf(unsigned char* pbyBlock)
{
    return reinterpret_cast<BlockHead*>(pbyBlock - HEAD_SIZE);
}

BlockHead* HeapBlock(size_t uSize)
{
    BlockHead* pHead = nullptr;
    if (uSize <= static_cast<size_t>(-1) - HEAD_SIZE)
        pHead = static_cast<BlockHead*>(std::malloc(HEAD_SIZE + uSize));
    if (pHead != nullptr)
    {
        pHead->uRoom = uSize;
        pHead->uMapping = 0;
    }
    return pHead;
}

#if defined(__linux__)
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
    if (uSize > static_cast<size_t>(-1) - HEAD_SIZE - 2 * HUGE_PAGE)
        return 0;
    return (HEAD_SIZE + uSize + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
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

BlockHead* MappedBlock(size_t uSize)
{
    const size_t uMapping = MappingFor(uSize);
    BlockHead* pHead = uMapping != 0 ? static_cast<BlockHead*>(MapAligned(uMapping)) : nullptr;
    if (pHead != nullptr)
    {
        pHead->uRoom = uMapping - HEAD_SIZE;
        pHead->uMapping = uMapping;
    }
    return pHead;
}

// Grows or shrinks a mapped block by moving its pages: in place when the addresses after it are
// free, else onto a fresh aligned mapping that the move replaces.
BlockHead* RemapBlock(BlockHead* pHead, size_t uSize)
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
    pHead = static_cast<BlockHead*>(pvMoved);
    pHead->uRoom = uMapping - HEAD_SIZE;
    pHead->uMapping = uMapping;
    return pHead;
}
#endif

BlockHead* NewBlock(size_t uSize)
{
#if defined(__linux__)
    if (uSize >= HUGE_PAGE && !HEAP_ONLY)
        return MappedBlock(uSize);
#endif
    return HeapBlock(uSize);
}

void FreeBlock(BlockHead* pHead)
{
#if defined(__linux__)
    if (pHead->uMapping != 0)
    {
        munmap(pHead, pHead->uMapping);
        return;
    }
#endif
    std::free(pHead);
}
} // namespace

unsigned char* NW_BodyAlloc(size_t uSize)
{
    BlockHead* pHead = NewBlock(uSize);
    return pHead != nullptr ? Body(pHead) : nullptr;
}

unsigned char* NW_BodyResize(unsigned char* pbyBlock, size_t uSize)
{
    BlockHead* pHead = nullptr;
    BlockHead* pNew = nullptr;

    if (pbyBlock == nullptr)
        return NW_BodyAlloc(uSize);
    pHead = HeadOf(pbyBlock);
#if defined(__linux__)
    if (pHead->uMapping != 0 && uSize >= HUGE_PAGE)
    {
        pNew = RemapBlock(pHead, uSize);
        return pNew != nullptr ? Body(pNew) : nullptr;
    }
    if (pHead->uMapping != 0 || uSize >= HUGE_PAGE)
    {
        // Between the heap and a mapping: one of the two is small, so the copy is too.
        pNew = NewBlock(uSize);
        if (pNew == nullptr)
            return nullptr;
        std::memcpy(Body(pNew), pbyBlock, pHead->uRoom < uSize ? pHead->uRoom : uSize);
        FreeBlock(pHead);
        return Body(pNew);
    }
#endif
    if (uSize > static_cast<size_t>(-1) - HEAD_SIZE)
        return nullptr;
    pNew = static_cast<BlockHead*>(std::realloc(pHead, HEAD_SIZE + uSize));
    if (pNew == nullptr)
        return nullptr;
    pNew->uRoom = uSize;
    return Body(pNew);
}

void NW_BodyFree(unsigned char* pbyBlock)
{
    if (pbyBlock != nullptr)
        FreeBlock(HeadOf(pbyBlock));
}
