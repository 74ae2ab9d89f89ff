#include "ReplacedNew.h"

#include <new>

namespace
{
void* Allocate(std::size_t uSize, const void* pvCaller) noexcept
{
    return ReplacedNewAllocate(uSize == 0 ? 1 : uSize, pvCaller);
}

void* AllocateOrThrow(std::size_t uSize, const void* pvCaller)
{
    void* p = Allocate(uSize, pvCaller);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
} // namespace

void* operator new(std::size_t uSize)
{
    return AllocateOrThrow(uSize, __builtin_return_address(0));
}

void* operator new[](std::size_t uSize)
{
    return AllocateOrThrow(uSize, __builtin_return_address(0));
}

void* operator new(std::size_t uSize, const std::nothrow_t&) noexcept
{
    return Allocate(uSize, __builtin_return_address(0));
}

void* operator new[](std::size_t uSize, const std::nothrow_t&) noexcept
{
    return Allocate(uSize, __builtin_return_address(0));
}

void operator delete(void* p) noexcept
{
    ReplacedNewFree(p);
}

void operator delete[](void* p) noexcept
{
    ReplacedNewFree(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    ReplacedNewFree(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    ReplacedNewFree(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    ReplacedNewFree(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    ReplacedNewFree(p);
}
