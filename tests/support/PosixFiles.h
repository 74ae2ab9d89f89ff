#pragma once

// Files that only POSIX makes: kept apart from the portable helpers (TempDir.h) so that suites
// built for Windows do not pull them in.
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
