#pragma once

// The blocks behind NW_BodyMemory, one implementation per platform: NW_BodyBlockLinux.cpp maps a
// large block on its own pages, NW_BodyBlockHeap.cpp takes every block from the heap.
#include <cstddef>

// Each block starts with this record; the caller's bytes follow it at NW_BLOCK_HEAD_SIZE bytes.
struct NW_BLOCK_HEAD
{
    size_t uRoom;    // bytes the caller may use
    size_t uMapping; // length of the block's own mapping; 0 for a heap block
};
const size_t NW_BLOCK_HEAD_SIZE = 64;

// A heap block of uSize bytes for the caller; null when there is no memory for it.
NW_BLOCK_HEAD* NW_HeapBlock(size_t uSize);

// A new block of uSize bytes for the caller, from where the platform keeps a block of that size.
NW_BLOCK_HEAD* NW_NewBlock(size_t uSize);

// Releases a block from NW_NewBlock or NW_HeapBlock, or one resized.
void NW_FreeBlock(NW_BLOCK_HEAD* pHead);

// Resizes a block whose old or new size the platform keeps apart from the heap, setting *ppNew
// (null when there is no memory, the block untouched). False, with *ppNew untouched, when the
// block stays on the heap, for the caller to resize there.
bool NW_ResizeApart(NW_BLOCK_HEAD* pHead, size_t uSize, NW_BLOCK_HEAD** ppNew);
