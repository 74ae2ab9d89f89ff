#pragma once

// The global operator new and delete, replaced for the programs that watch or fail the heap
// (ReplacedNew.cpp, linked into those programs alone). Every form of new hands the size (at least
// 1) and its caller's address to ReplacedNewAllocate and throws std::bad_alloc where a throwing
// form gets null; every form of delete hands the block to ReplacedNewFree. The program defines both.
#include <cstddef>

void* ReplacedNewAllocate(std::size_t uSize, const void* pvCaller) noexcept;
void ReplacedNewFree(void* p) noexcept;
