#pragma once

// Kept connections, as WinINet keeps them: an exchange to the same scheme, host, port and proxy as
// an earlier one reuses that one's idle keep-alive connection, across request and session handles.
// libcurl's share interface holds the connections, DNS answers and TLS sessions. libcurl does not
// support one connection cache used by several threads at once, so each thread has a cache of its
// own; the library's worker threads are kept between requests, and their caches with them.
#include <curl/curl.h>

namespace tarn
{
namespace inet
{
// Connections a thread's cache keeps open at most (idle and busy together; the oldest idle one is
// closed when the cache is over it), and how long an idle one may wait to be reused. A thread's
// cache and its connections are closed when the thread ends.
constexpr long kMaxCachedConnections = 4;
constexpr long kIdleConnectionSeconds = 30;

// Has pEasy's exchanges take and return their connections through the calling thread's cache.
// Without a cache (it could not be set up) the exchange opens a connection of its own, as before.
void UseConnectionCache(CURL* pEasy);
} // namespace inet
} // namespace tarn
