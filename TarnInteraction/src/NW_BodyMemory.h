#pragma once

#include <cstddef>

// Blocks for bodies. Small ones come from the heap. On Linux a large one is a mapping of its own,
// aligned and advised for transparent huge pages, so that first touching it costs one fault per
// 2 MiB instead of one per 4 KiB, and it grows by moving its pages rather than copying its bytes.
// Elsewhere every block comes from the heap.

// A block of at least uSize bytes, not written; null when there is no memory for it.
unsigned char* NW_BodyAlloc(size_t uSize);

// The block grown or shrunk to at least uSize bytes, keeping the bytes it holds up to the smaller
// size; null, with the block untouched, when there is no memory for it. A null block is allocated.
unsigned char* NW_BodyResize(unsigned char* pbyBlock, size_t uSize);

// Releases a block from NW_BodyAlloc or NW_BodyResize; null is ignored.
void NW_BodyFree(unsigned char* pbyBlock);
