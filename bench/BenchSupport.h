#pragma once

// Helpers shared by the benchmarks and their servers (Linux /proc, HTTP heads).
#include <functional>
#include <string>
#include <vector>

// A "<field>: <n> kB" line of /proc/self/status (VmRSS, VmHWM, ...) in KiB; -1 when absent.
long ReadStatusKb(const char* pszField);

// Starts the peak (VmHWM) again from the current resident size (Linux 4.0 and later); false when
// the kernel refuses.
bool ResetPeakRss();

// The value of a header in a head that ends with an empty line (the name in any case), or an empty
// text.
std::string HeaderValue(const std::string& Head, const char* pszName);

// Reads until Pending holds a whole request head, which it then moves into Head (its last line
// ending kept, the empty line dropped); Read fills a buffer and gives the count, 0 or less at the
// end. False when the connection ends first.
bool ReadRequestHead(const std::function<long(char*, size_t)>& Read, std::vector<char>& Buffer,
                     std::string& Pending, std::string& Head);
