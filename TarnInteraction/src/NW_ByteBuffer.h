#pragma once

#include <cstddef>

// A growable byte array whose length is separate from its capacity. Growing does not write the
// new room: only bytes the owner writes are ever read, so a large response costs what it holds.
class NW_ByteBuffer
{
public:
    NW_ByteBuffer();
    ~NW_ByteBuffer();

    NW_ByteBuffer(const NW_ByteBuffer&) = delete;
    NW_ByteBuffer& operator=(const NW_ByteBuffer&) = delete;

    // Sets the length to uLength; bytes below the old length keep their values. Returns 0, with
    // nothing changed, when the storage cannot grow.
    int SetLength(size_t uLength);

    // Length 0; the storage stays allocated.
    void Clear() { m_uLength = 0; }

    size_t GetLength() const { return m_uLength; }
    size_t GetCapacity() const { return m_uCapacity; }
    bool IsEmpty() const { return m_uLength == 0; }
    unsigned char* GetData() { return m_pbyData; }

private:
    unsigned char* m_pbyData;
    size_t m_uLength;
    size_t m_uCapacity;
};
