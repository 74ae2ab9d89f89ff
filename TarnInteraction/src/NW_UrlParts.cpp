// Addresses split for InternetConnectA and HttpOpenRequestA, the same on every platform.
#include "NW_UrlParts.h"

#include <cstring>

int NW_CrackUrl(const char* cszUrl, NW_URL_PARTS* pParts)
{
    URL_COMPONENTSA Components;
    std::memset(&Components, 0, sizeof(Components));
    Components.dwStructSize = sizeof(Components);
    Components.lpszHostName = pParts->szHost;
    Components.dwHostNameLength = sizeof(pParts->szHost);
    Components.lpszUserName = pParts->szUser;
    Components.dwUserNameLength = sizeof(pParts->szUser);
    Components.lpszPassword = pParts->szPassword;
    Components.dwPasswordLength = sizeof(pParts->szPassword);
    Components.lpszUrlPath = pParts->szObject;
    Components.dwUrlPathLength = sizeof(pParts->szObject);
    if (!InternetCrackUrlA(cszUrl, 0, 0, &Components))
        return 0;
    pParts->nPort = Components.nPort;
    pParts->dwSecureFlag = Components.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0;
    if (Components.nScheme != INTERNET_SCHEME_HTTPS && Components.nScheme != INTERNET_SCHEME_HTTP)
    {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return 0;
    }
    return 1;
}

int NW_CrackPostServer(const char* cszAddress, int nPort, NW_POST_SERVER* pServer)
{
    NW_URL_PARTS& Url = pServer->Url;

    pServer->cszHost = cszAddress;
    pServer->cszUser = nullptr;
    pServer->cszPassword = nullptr;
    pServer->nPort = static_cast<INTERNET_PORT>(nPort);
    pServer->dwSecureFlag = 0;
    // A host name holds no "://"; only an address with a scheme is cracked.
    if (std::strstr(cszAddress, "://") == nullptr)
        return 1;
    if (!NW_CrackUrl(cszAddress, &Url))
        return 0;
    if (Url.szObject[0] != '\0' && std::strcmp(Url.szObject, "/") != 0)
    {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        return 0;
    }
    pServer->cszHost = Url.szHost;
    pServer->cszUser = Url.szUser[0] ? Url.szUser : nullptr;
    pServer->cszPassword = Url.szPassword[0] ? Url.szPassword : nullptr;
    pServer->nPort = Url.nPort;
    pServer->dwSecureFlag = Url.dwSecureFlag;
    return 1;
}
