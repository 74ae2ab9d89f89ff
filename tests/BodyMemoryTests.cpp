// Body blocks keep their bytes whichever way they grow or shrink: within the heap, from the heap
// into a mapping of their own, between mappings (moved pages) and back into the heap.
#include "NW_BodyMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
unsigned char ByteAt(size_t uIndex)
{
    return static_cast<unsigned char>((uIndex * 131 + uIndex / 4099) & 0xFF);
}

void Fill(unsigned char* pbyBlock, size_t uFrom, size_t uTo)
{
    for (size_t i = uFrom; i < uTo; ++i)
        pbyBlock[i] = ByteAt(i);
}

bool Holds(const unsigned char* pbyBlock, size_t uCount)
{
    for (size_t i = 0; i < uCount; ++i)
        if (pbyBlock[i] != ByteAt(i))
            return false;
    return true;
}
} // namespace

TEST(BodyMemoryTest, BytesSurviveEveryKindOfResize)
{
    unsigned char* pbyBlock = NW_BodyAlloc(1000);
    ASSERT_NE(nullptr, pbyBlock);
    Fill(pbyBlock, 0, 1000);
    size_t uFilled = 1000;
    // A second large block placed after the first keeps some growth from happening in place.
    unsigned char* pbyNeighbour = nullptr;
    for (size_t uSize : {size_t(8000), size_t(3) << 20, size_t(5) << 20, size_t(40) << 20})
    {
        pbyBlock = NW_BodyResize(pbyBlock, uSize);
        ASSERT_NE(nullptr, pbyBlock);
        ASSERT_TRUE(Holds(pbyBlock, uFilled)) << "after growing to " << uSize;
        Fill(pbyBlock, uFilled, uSize);
        uFilled = uSize;
        if (pbyNeighbour == nullptr && uSize >= (size_t(3) << 20))
            pbyNeighbour = NW_BodyAlloc(size_t(4) << 20);
    }
    pbyBlock = NW_BodyResize(pbyBlock, 5000);
    ASSERT_NE(nullptr, pbyBlock);
    EXPECT_TRUE(Holds(pbyBlock, 5000));
    NW_BodyFree(pbyBlock);
    NW_BodyFree(pbyNeighbour);
    NW_BodyFree(nullptr);
}
