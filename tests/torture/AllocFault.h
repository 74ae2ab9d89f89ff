#pragma once

// Allocation failures on demand, for the whole process: malloc, calloc, realloc, the aligned
// allocators and the global operator new are replaced, counted and made to fail as armed.
// Allocations made while nothing is armed are only counted as live blocks.
#include <cstddef>
#include <cstdint>

namespace tarn
{
namespace test
{
namespace alloc
{
enum class Mode
{
    Count,   // count the allocations and their call sites; none fails
    FailOne, // the allocation numbered uN (1 is the first after Arm) fails, no other
    FailFrom // the allocation numbered uN and every one after it fails
};

void Arm(Mode eMode, std::uint64_t uN);
// Stops injecting; returns the number of allocations counted since Arm.
std::uint64_t Disarm();
// Allocations that were made to fail since Arm.
std::uint64_t Failed();
// The call site (return address) of the first allocation made to fail since Arm, or null.
const void* FirstFailedSite();
// Blocks allocated and not yet freed, over the whole life of the process.
std::int64_t Live();
// Call sites of blocks allocated since the last Arm that are still not freed; returns how many
// there are, and stores up to uMax of their sites.
std::size_t LeakedSites(const void** ppvSites, std::size_t uMax);
// Distinct call sites (return addresses) seen in Count mode since the process started.
std::size_t CallSites();
} // namespace alloc
} // namespace test
} // namespace tarn
