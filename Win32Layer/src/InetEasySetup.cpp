#include "InetEasySetup.h"

#include "InetClientCert.h"
#include "InetProxy.h"
#include "InetTrust.h"
#include "LastResponseInfo.h"

#include <sys/socket.h>

namespace tarn
{
namespace inet
{
namespace
{
// libcurl's receive buffer: larger than its 16 KiB default, so that a big body takes fewer passes
// of the network thread.
constexpr long kReceiveBufferSize = 64 * 1024;
// Larger than libcurl's 64 KiB default: a large body leaves in a quarter of the sends and calls.
constexpr long kUploadBufferSize = 256 * 1024;

// The verb and, with a body, its size. The body comes through the read callback; its size is the
// caller's Content-Length, which goes out as the caller wrote it (a Content-Length of their own
// stops libcurl from adding one).
void SetMethod(CURL* pEasy, const std::string& Verb, const UploadBody& Body)
{
    if (Body.bHasBody)
    {
        curl_easy_setopt(pEasy, CURLOPT_POST, 1L);
        curl_easy_setopt(pEasy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body.uLength));
        if (Verb != "POST")
            curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, Verb.c_str());
    }
    else if (Verb == "HEAD")
        curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    else
    {
        curl_easy_setopt(pEasy, CURLOPT_HTTPGET, 1L);
        if (Verb != "GET")
            curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, Verb.c_str());
    }
}
} // namespace

bool IsUnlimitedTimeout(DWORD dwMilliseconds)
{
    return dwMilliseconds == 0 || dwMilliseconds == 0xFFFFFFFFu;
}

curl_slist* ToCurlList(const std::vector<std::string>& Lines)
{
    curl_slist* pList = nullptr;
    for (const std::string& Line : Lines)
    {
        curl_slist* pNext = curl_slist_append(pList, Line.c_str());
        if (pNext == nullptr)
        {
            curl_slist_free_all(pList);
            return nullptr;
        }
        pList = pNext;
    }
    return pList;
}

namespace
{
// Every connection's socket is close-on-exec, so that a program that a forked child execs holds
// none of this process's connections; libcurl opens its own without the flag.
curl_socket_t OpenCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* pAddress)
{
    return ::socket(pAddress->family, pAddress->socktype | SOCK_CLOEXEC, pAddress->protocol);
}
} // namespace

DWORD SetUpEasy(CURL* pEasy, const ExchangeRequest& Request, curl_slist* pHeaders)
{
    SetLastResponseInfo("");
    if (curl_easy_setopt(pEasy, CURLOPT_URL, Request.Url.c_str()) != CURLE_OK)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExecSocket);
    // A transfer ended while its name is still being looked up leaves the lookup to finish on its
    // own thread instead of waiting for it, on the network thread that every request shares.
#if LIBCURL_VERSION_NUM >= 0x075700 // 7.87.0
    curl_easy_setopt(pEasy, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(pEasy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(pEasy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pEasy, CURLOPT_HTTP_VERSION,
                     static_cast<long>(Request.bHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
    // WinINet asks for no compression and hands the body over as sent; chunks are decoded.
    curl_easy_setopt(pEasy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(pEasy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PATH_AS_IS, 1L);
    if (!IsUnlimitedTimeout(Request.dwConnectMs))
        curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Request.dwConnectMs));
    if (!Request.pSettings->Agent.empty())
        curl_easy_setopt(pEasy, CURLOPT_USERAGENT, Request.pSettings->Agent.c_str());
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, pHeaders);
    ApplyProxy(pEasy, *Request.pSettings, Request.Url);
    WatchClientCertRequest(pEasy);
    const DWORD dwTrust = ApplyTrust(pEasy, Request.Url);
    if (dwTrust != ERROR_SUCCESS)
        return dwTrust;
    SetMethod(pEasy, Request.Verb, *Request.pBody);
    // A kept connection may turn out closed once the request is on it; libcurl then sends the
    // request again on a new one, provided no byte of an answer came. A small body is kept whole
    // and goes out again from its copy (InetTransfer::OnUploadSeek); a larger one, streamed from
    // the caller's writes, cannot, and takes a connection of its own.
    if (Request.pBody->bHasBody && !Request.pBody->bKeepReplay)
        curl_easy_setopt(pEasy, CURLOPT_FRESH_CONNECT, 1L);
    return ERROR_SUCCESS;
}
} // namespace inet
} // namespace tarn
