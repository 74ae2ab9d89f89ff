#pragma once

// Special files for the tests: sparse files (on Linux and under Wine) and FIFOs (POSIX only;
// MakeFifo fails on Windows).
#include <string>

namespace tarn
{
namespace test
{
// A file of the given size that takes neither disk nor memory. Its path, or "" on failure.
std::string MakeSparseFile(const std::string& Path, unsigned long long ullSize);

// A named pipe. Its path, or "" on failure.
std::string MakeFifo(const std::string& Path);
} // namespace test
} // namespace tarn
