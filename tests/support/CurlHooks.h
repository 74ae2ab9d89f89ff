#pragma once

// Hooks into libcurl and the resolver for the tests of the network loop, linked into their test
// program only: its own definitions of getaddrinfo, curl_multi_poll and curl_multi_info_read
// take the place of the shared libraries' ones and call them in turn; curl_easy_init's as well.
#include <cstddef>

namespace curl_hooks
{
// Host names ending in ".slow.test" resolve to 127.0.0.1 after this many milliseconds.
void SetSlowLookupMs(int nMs);
// Each curl_multi_poll returns this many milliseconds later than it would (0: at once).
void SetPollDelayMs(int nMs);
// How many transfers libcurl has reported finished so far, and a wait for that count.
size_t FinishedTransfers();
bool WaitForFinishedTransfers(size_t uCount, int nTimeoutMs);
// The next curl_easy_init holds a spinlock for this many milliseconds, as libcurl 7.88 holds its
// global-init lock inside it, and every call takes that lock; a wait for a call to be inside it.
void HoldNextEasyInitMs(int nMs);
bool WaitInsideEasyInit(int nTimeoutMs);
} // namespace curl_hooks
