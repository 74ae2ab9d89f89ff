// Body blocks where every block comes from the heap.
#include "NW_BodyBlock.h"

#include <cstdlib>

NW_BLOCK_HEAD* NW_NewBlock(size_t uSize)
{
    return NW_HeapBlock(uSize);
}

void NW_FreeBlock(NW_BLOCK_HEAD* pHead)
{
    std::free(pHead);
}

bool NW_ResizeApart(NW_BLOCK_HEAD* /*pHead*/, size_t /*uSize*/, NW_BLOCK_HEAD** /*ppNew*/)
{
    return false;
}
