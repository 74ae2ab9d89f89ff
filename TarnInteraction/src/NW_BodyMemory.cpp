// Blocks for bodies: the caller's bytes behind each block's head. Where a block comes from is the
// platform's (NW_BodyBlock.h).
#include "NW_BodyMemory.h"

#include "NW_BodyBlock.h"

#include <cstdlib>

namespace
{
unsigned char* Body(NW_BLOCK_HEAD* pHead)
{
    return reinterpret_cast<unsigned char*>(pHead) + NW_BLOCK_HEAD_SIZE;
}

NW_BLOCK_HEAD* HeadOf(unsigned char* pbyBlock)
{
    return reinterpret_cast<NW_BLOCK_HEAD*>(pbyBlock - NW_BLOCK_HEAD_SIZE);
}
} // namespace

NW_BLOCK_HEAD* NW_HeapBlock(size_t uSize)
{
    NW_BLOCK_HEAD* pHead = nullptr;
    if (uSize <= static_cast<size_t>(-1) - NW_BLOCK_HEAD_SIZE)
        pHead = static_cast<NW_BLOCK_HEAD*>(std::malloc(NW_BLOCK_HEAD_SIZE + uSize));
    if (pHead != nullptr)
    {
        pHead->uRoom = uSize;
        pHead->uMapping = 0;
    }
    return pHead;
}

unsigned char* NW_BodyAlloc(size_t uSize)
{
    NW_BLOCK_HEAD* pHead = NW_NewBlock(uSize);
    return pHead != nullptr ? Body(pHead) : nullptr;
}

unsigned char* NW_BodyResize(unsigned char* pbyBlock, size_t uSize)
{
    NW_BLOCK_HEAD* pHead = nullptr;
    NW_BLOCK_HEAD* pNew = nullptr;

    if (pbyBlock == nullptr)
        return NW_BodyAlloc(uSize);
    pHead = HeadOf(pbyBlock);
    if (NW_ResizeApart(pHead, uSize, &pNew))
        return pNew != nullptr ? Body(pNew) : nullptr;
    if (uSize > static_cast<size_t>(-1) - NW_BLOCK_HEAD_SIZE)
        return nullptr;
    pNew = static_cast<NW_BLOCK_HEAD*>(std::realloc(pHead, NW_BLOCK_HEAD_SIZE + uSize));
    if (pNew == nullptr)
        return nullptr;
    pNew->uRoom = uSize;
    return Body(pNew);
}

void NW_BodyFree(unsigned char* pbyBlock)
{
    if (pbyBlock != nullptr)
        NW_FreeBlock(HeadOf(pbyBlock));
}
