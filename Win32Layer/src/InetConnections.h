#pragma once

// The process's cache of open connections, as WinINet keeps one: an exchange to the same scheme,
// host, port and proxy as an earlier one reuses that one's idle keep-alive connection, from any
// thread. libcurl's share interface holds the connections, DNS answers and TLS sessions.
#include <curl/curl.h>

namespace tarn
{
namespace inet
{
// Connections kept open in the cache at most (idle and busy together; the oldest idle one is closed
// when the cache is over it), and how long an idle one may wait to be reused.
constexpr long kMaxCachedConnections = 64;
constexpr long kIdleConnectionSeconds = 30;

// Has pEasy's exchanges take and return their connections through the cache. Without a cache (it
// could not be set up) the exchange opens a connection of its own, as before.
void UseConnectionCache(CURL* pEasy);
} // namespace inet
} // namespace tarn
