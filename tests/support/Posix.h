#pragma once

// What the tests use of POSIX, each with what stands in for it on Windows: sparse files (on Linux and
// under Wine), FIFOs, files whose reads fail, the count of open files, shell commands and a cap on
// the address space.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn
{
namespace test
{
// A file of the given size that takes neither disk nor memory. Its path, or "" on failure.
std::string MakeSparseFile(const std::string& Path, unsigned long long ullSize);

// A named pipe. Its path, or "" on failure (always on Windows).
std::string MakeFifo(const std::string& Path);

// Whether the file opens and its first read fails (false on Windows, where this is not looked for).
bool ReadFails(const std::string& Path);

// Descriptors open on files, sockets and pipes left out; 0 on Windows, whose handle count mixes
// files with threads, events and sockets.
std::size_t OpenFileCount();

// The exit status of a shell command, its standard output in Output; -1 when it could not be run
// (always on Windows: the tests there run under Wine, which starts no Linux programs for them).
int RunCommand(const std::string& Command, std::string& Output);

// Caps the address space ullBytes above what the process uses now; false when it could not (always
// on Windows, which has no such cap).
bool CapAddressSpaceAbove(std::uint64_t ullBytes);

#if defined(_WIN32)
constexpr bool kHavePosix = false;
#else
constexpr bool kHavePosix = true;
#endif
// AddressSanitizer reserves terabytes of address space, so a cap cannot be used under it;
// ThreadSanitizer's allocator does not hand out null.
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
} // namespace test
} // namespace tarn
