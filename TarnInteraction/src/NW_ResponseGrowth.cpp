// How the response buffer grows as the body is read.
#include "NW_ResponseGrowth.h"

#include <algorithm>

DWORD NW_DirectReadSize(size_t uBufferLength, DWORD dwHeld)
{
    const std::uint64_t ullRoom =
        std::min<std::uint64_t>(uBufferLength - 1 - dwHeld, NW_MAX_RESPONSE_SIZE - 1 - dwHeld);
    const std::uint64_t ullBlock = NW_READ_BLOCK_SIZE - 1;
    return static_cast<DWORD>(ullRoom / ullBlock * ullBlock);
}

size_t NW_GrownLength(std::uint64_t ullNeeded)
{
    std::uint64_t ullNewLength = 2 * ullNeeded;
    if (ullNewLength > SIZE_MAX)
        ullNewLength = ullNeeded + 1;
    return static_cast<size_t>(ullNewLength);
}
