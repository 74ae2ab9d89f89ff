#pragma once

// Helpers shared by the benchmarks and their servers (Linux /proc, HTTP heads).
#include <string>

// A "<field>: <n> kB" line of /proc/self/status (VmRSS, VmHWM, ...) in KiB; -1 when absent.
long ReadStatusKb(const char* pszField);

// Starts the peak (VmHWM) again from the current resident size (Linux 4.0 and later); false when
// the kernel refuses.
bool ResetPeakRss();

// The value of a header in a head that ends with an empty line (the name in any case), or an empty
// text.
std::string HeaderValue(const std::string& Head, const char* pszName);
