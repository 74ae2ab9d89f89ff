#include "InetProxy.h"

#include "InetHeaders.h"
#include "InetUrl.h"

#include <algorithm>

namespace tarn
{
namespace inet
{
namespace
{
// Picks the proxy for a scheme out of WinINet's proxy list: entries separated by spaces or
// semicolons, each "scheme=server[:port]" or a plain "server[:port]" for every scheme.
std::string PickProxy(const std::string& List, const std::string& Scheme)
{
    std::string Generic;
    size_t uPos = 0;
    while (uPos < List.size())
    {
        const size_t uEnd = std::min(List.find_first_of(" ;", uPos), List.size());
        const std::string Entry = List.substr(uPos, uEnd - uPos);
        uPos = uEnd + 1;
        if (Entry.empty())
            continue;
        const size_t uEquals = Entry.find('=');
        if (uEquals == std::string::npos)
        {
            if (Generic.empty())
                Generic = Entry;
        }
        else if (LowerAscii(Entry.substr(0, uEquals)) == Scheme)
            return Entry.substr(uEquals + 1);
    }
    return Generic;
}

// WinINet's bypass list in libcurl's no-proxy form. "<local>" has no counterpart and is dropped;
// "*.example.com" becomes "example.com", which libcurl also matches for sub-domains.
std::string BypassToNoProxy(const std::string& List)
{
    std::string Result;
    size_t uPos = 0;
    while (uPos < List.size())
    {
        const size_t uEnd = std::min(List.find_first_of(" ;,", uPos), List.size());
        std::string Entry = List.substr(uPos, uEnd - uPos);
        uPos = uEnd + 1;
        if (Entry.empty() || Entry == "<local>")
            continue;
        if (Entry.compare(0, 2, "*.") == 0)
            Entry.erase(0, 2);
        if (!Result.empty())
            Result += ',';
        Result += Entry;
    }
    return Result;
}
} // namespace

void ApplyProxy(CURL* pEasy, const SessionSettings& Settings, const std::string& Url)
{
    if (Settings.dwAccessType == INTERNET_OPEN_TYPE_DIRECT)
        curl_easy_setopt(pEasy, CURLOPT_PROXY, "");
    else if (Settings.dwAccessType == INTERNET_OPEN_TYPE_PROXY)
    {
        const std::string Proxy = PickProxy(Settings.Proxy, SchemeOf(Url));
        curl_easy_setopt(pEasy, CURLOPT_PROXY, Proxy.c_str());
        const std::string NoProxy = BypassToNoProxy(Settings.ProxyBypass);
        curl_easy_setopt(pEasy, CURLOPT_NOPROXY, NoProxy.c_str());
    }
}
} // namespace inet
} // namespace tarn
