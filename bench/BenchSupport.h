#pragma once

// Measuring helpers shared by the benchmarks (Linux /proc).

// A "<field>: <n> kB" line of /proc/self/status (VmRSS, VmHWM, ...) in KiB; -1 when absent.
long ReadStatusKb(const char* pszField);

// Starts the peak (VmHWM) again from the current resident size (Linux 4.0 and later); false when
// the kernel refuses.
bool ResetPeakRss();
