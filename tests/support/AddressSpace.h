#pragma once

// Caps the process's address space, for tests that run out of memory in a child process.
#include <cstdint>

namespace tarn
{
namespace test
{
// The sanitizers' runtimes: AddressSanitizer reserves terabytes of address space, so a cap cannot
// be used under it; ThreadSanitizer's allocator does not hand out null.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// Whether this system has a cap to set (not Windows).
bool CanCapAddressSpace();

// Caps the address space ullBytes above what the process uses now; false when it could not.
bool CapAddressSpaceAbove(std::uint64_t ullBytes);
} // namespace test
} // namespace tarn
