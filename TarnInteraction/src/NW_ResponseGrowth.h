#pragma once

// How the response buffer grows as the body is read.
#include "NW_Platform.h"

#include <cstddef>
#include <cstdint>

// The most one read asks for when it reads a block aside.
const size_t NW_READ_BLOCK_SIZE = 8192;

// The body length travels as a 32-bit count, and one more byte must fit for the terminating 0: a
// body holds at most 4 GiB - 2 bytes.
const std::uint64_t NW_MAX_RESPONSE_SIZE = 0xFFFFFFFFull;

// How many bytes to read straight into the response buffer: the whole blocks (of one read's size)
// that fit between the bytes held and the terminating 0, within what the size count can hold.
// 0 when not one block fits. Such a read copies the bytes once, and the network thread hands them
// over without waiting for a reader per block; the buffer grows at the same points as with one
// block per read.
DWORD NW_DirectReadSize(size_t uBufferLength, DWORD dwHeld);

// The buffer length to grow to when ullNeeded bytes must fit before the terminating 0: twice what
// is needed, or just enough where twice does not fit in a size_t.
size_t NW_GrownLength(std::uint64_t ullNeeded);
