// The GET's connection and request, the same on every platform.
#include "NW_GetRequest.h"

#include "NW_SendWatch.h"
#include "NW_TransferTimeOuts.h"
#include "NW_UrlParts.h"

// The connection and the request opened one by one, with the time-outs set on each before anything
// is sent, which is the only way Wine's WinINet applies them (it leaves them unlimited on what
// InternetOpenUrlA opens, and hands out no handle before it has sent). On Windows the send runs
// under the watch's deadlines, which also bound what WinINet does not (Wine's TLS handshake).
HINTERNET NW_OpenUrl(HINTERNET hSession, const char* cszUrl, HINTERNET* phConnection)
{
    NW_URL_PARTS Parts;
    HINTERNET hRequest = nullptr;
    DWORD_PTR dwContext = 0;
    NW_SendWatch Watch(NW_CONNECT_TIMEOUT_MS, NW_GET_RECEIVE_TIMEOUT_MS, NW_SEND_TIMEOUT_MS);

    if (!NW_CrackUrl(cszUrl, &Parts))
        return nullptr;
    *phConnection =
        InternetConnectA(hSession, Parts.szHost, Parts.nPort, Parts.szUser[0] ? Parts.szUser : nullptr,
                         Parts.szPassword[0] ? Parts.szPassword : nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (*phConnection == nullptr || !NW_SetTimeOuts(*phConnection, NW_GET_RECEIVE_TIMEOUT_MS))
        return nullptr;
    if (!Watch.Prepare(&dwContext))
        return nullptr;
    hRequest = HttpOpenRequestA(*phConnection, "GET", Parts.szObject, nullptr, nullptr, nullptr,
                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                    INTERNET_FLAG_PRAGMA_NOCACHE | Parts.dwSecureFlag,
                                dwContext);
    if (hRequest == nullptr)
        return nullptr;
    if (!NW_SetTimeOuts(hRequest, NW_GET_RECEIVE_TIMEOUT_MS) || !Watch.Send(&hRequest, NW_GET_EXTRA_HEADERS))
    {
        // The caller reads the error after the close; a request the watch closed is gone already.
        const DWORD dwError = GetLastError();
        if (hRequest != nullptr)
            InternetCloseHandle(hRequest);
        SetLastError(dwError);
        return nullptr;
    }
    return hRequest;
}
