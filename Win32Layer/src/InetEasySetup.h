#pragma once

// How one exchange's easy handle is set up: address, method, headers, proxy, trust and the
// options that make libcurl behave as WinINet does. The callbacks are InetTransfer's own.
#include "InetExchange.h"
#include "InetObjects.h"

#include <curl/curl.h>

#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
// What one exchange sends.
struct ExchangeRequest
{
    std::string Verb;
    std::string Url;
    std::vector<std::string> HeaderLines; // in CURLOPT_HTTPHEADER's form
    bool bHttp10 = false;
    bool bFollowRedirects = true; // a 3xx with a Location ends the exchange as a redirect
    const SessionSettings* pSettings = nullptr;
    UploadBody* pBody = nullptr; // outlives the exchange
    DWORD dwConnectMs = kDefaultTimeoutMs;
};

// The header lines as libcurl takes them; nullptr when out of memory.
curl_slist* ToCurlList(const std::vector<std::string>& Lines);

// ERROR_SUCCESS or ERROR_NOT_ENOUGH_MEMORY. pHeaders must outlive the exchange.
DWORD SetUpEasy(CURL* pEasy, const ExchangeRequest& Request, curl_slist* pHeaders);

bool IsUnlimitedTimeout(DWORD dwMilliseconds);
} // namespace inet
} // namespace tarn
