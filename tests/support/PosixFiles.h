#pragma once

// Special files for the tests: sparse files (on Linux and under Wine), FIFOs (POSIX only; MakeFifo
// fails on Windows), files whose reads fail, and the count of open files.
#include <cstddef>
#include <string>

namespace tarn
{
namespace test
{
// A file of the given size that takes neither disk nor memory. Its path, or "" on failure.
std::string MakeSparseFile(const std::string& Path, unsigned long long ullSize);

// A named pipe. Its path, or "" on failure.
std::string MakeFifo(const std::string& Path);

// Whether the file opens and its first read fails (false on Windows, where this is not looked for).
bool ReadFails(const std::string& Path);

// Descriptors open on files, sockets and pipes left out; 0 on Windows, whose handle count mixes
// files with threads, events and sockets.
std::size_t OpenFileCount();
} // namespace test
} // namespace tarn
