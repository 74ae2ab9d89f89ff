#pragma once

// WinINet's proxy settings in libcurl's terms.
#include "InetObjects.h"

#include <curl/curl.h>

#include <string>

namespace tarn
{
namespace inet
{
// Sets the proxy of an easy handle for an exchange with Url: none for INTERNET_OPEN_TYPE_DIRECT,
// the session's list and bypass list for INTERNET_OPEN_TYPE_PROXY. For PRECONFIG nothing is set:
// libcurl reads http_proxy, https_proxy, all_proxy and no_proxy from the environment, where
// WinINet falls back to them.
void ApplyProxy(CURL* pEasy, const SessionSettings& Settings, const std::string& Url);
} // namespace inet
} // namespace tarn
