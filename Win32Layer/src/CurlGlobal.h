#pragma once

// The only place that calls what takes libcurl's process-wide init lock. In libcurl 7.88 that is
// curl_global_init, curl_global_init_mem, curl_global_cleanup, curl_global_sslset and
// curl_easy_init, which takes it on every call; the lock is a spinlock, which fork() copies as it
// stands, so a child made while another thread was inside one of them would spin on it for good
// in its first request. The calls here run under a mutex that is held across fork(), so none is
// under way when a child is made. The layer calls neither curl_global_cleanup nor _sslset.
#include <curl/curl.h>

namespace tarn
{
namespace inet
{
// curl_global_init, once per process and never undone, since requests may live until exit.
// false when it failed.
bool InitCurl();

// curl_easy_init; null when out of memory.
CURL* NewEasyHandle();
} // namespace inet
} // namespace tarn
