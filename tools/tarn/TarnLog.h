#pragma once

// Where the library's log lines go: standard error with -v, nowhere otherwise.
#include <cstddef>

namespace tarn
{
void RouteLibraryLog(bool bVerbose);

// Lines dropped since RouteLibraryLog(false).
std::size_t HiddenLogLines();
} // namespace tarn
