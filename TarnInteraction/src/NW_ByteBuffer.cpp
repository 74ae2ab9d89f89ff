#include "NW_ByteBuffer.h"

#include "NW_BodyMemory.h"

NW_ByteBuffer::NW_ByteBuffer() : m_pbyData(nullptr), m_uLength(0), m_uCapacity(0) {}

NW_ByteBuffer::~NW_ByteBuffer()
{
    NW_BodyFree(m_pbyData);
}

int NW_ByteBuffer::SetLength(size_t uLength)
{
    if (uLength > m_uCapacity)
    {
        // Large blocks move their pages instead of copying, and the new room is not touched.
        unsigned char* pbyNew = NW_BodyResize(m_pbyData, uLength);
        if (pbyNew == nullptr)
            return 0;
        m_pbyData = pbyNew;
        m_uCapacity = uLength;
    }
    m_uLength = uLength;
    return 1;
}
