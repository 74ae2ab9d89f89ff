#include "NW_ByteBuffer.h"

#include <cstdlib>

NW_ByteBuffer::NW_ByteBuffer() : m_pbyData(nullptr), m_uLength(0), m_uCapacity(0) {}

NW_ByteBuffer::~NW_ByteBuffer()
{
    std::free(m_pbyData);
}

int NW_ByteBuffer::SetLength(size_t uLength)
{
    if (uLength > m_uCapacity)
    {
        // realloc moves large blocks by remapping pages, without copying or touching the new room.
        void* pvNew = std::realloc(m_pbyData, uLength);
        if (pvNew == nullptr)
            return 0;
        m_pbyData = static_cast<unsigned char*>(pvNew);
        m_uCapacity = uLength;
    }
    m_uLength = uLength;
    return 1;
}
