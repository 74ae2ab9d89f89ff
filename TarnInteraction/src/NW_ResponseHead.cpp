// What the library reads of a response's head: its status, whether it has header lines, its length.
#include "NW_ResponseHead.h"

#include "NW_ContentLength.h"

#include <cstring>

BOOL NW_QueryStatusCode(HINTERNET hRequest, DWORD* pdwStatusCode)
{
    DWORD dwLength = sizeof(*pdwStatusCode);
    return HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, pdwStatusCode, &dwLength,
                          nullptr);
}

bool NW_HasHeaderLines(HINTERNET hRequest)
{
    char szHead[512];
    DWORD dwLength = sizeof(szHead);
    const DWORD dwLastError = GetLastError();
    bool bHasLines = false;
    if (HttpQueryInfoA(hRequest, HTTP_QUERY_RAW_HEADERS_CRLF, szHead, &dwLength, nullptr))
    {
        szHead[dwLength < sizeof(szHead) ? dwLength : sizeof(szHead) - 1] = '\0';
        const char* pszAfterStatus = std::strstr(szHead, "\r\n");
        bHasLines = pszAfterStatus != nullptr && pszAfterStatus[2] != '\0' && pszAfterStatus[2] != '\r';
    }
    else
        bHasLines = GetLastError() == ERROR_INSUFFICIENT_BUFFER; // a long head has lines
    SetLastError(dwLastError);
    return bHasLines;
}

NW_ANNOUNCED NW_QueryAnnouncedLength(HINTERNET hRequest, std::uint64_t* pullLength)
{
    NW_CONTENT_LENGTH Length = {false, 0};
    bool bValid = true;
    const DWORD dwLastError = GetLastError();
    for (DWORD dwIndex = 0; bValid;)
    {
        char szValue[64];
        DWORD dwLength = sizeof(szValue);
        const DWORD dwAsked = dwIndex;
        if (!HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH, szValue, &dwLength, &dwIndex))
        {
            // Another failure than a missing line: longer than any length we could hold.
            bValid = GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
            break;
        }
        szValue[dwLength < sizeof(szValue) ? dwLength : sizeof(szValue) - 1] = '\0';
        bValid = NW_TakeContentLength(&Length, szValue, std::strlen(szValue));
        if (dwIndex == dwAsked)
            break; // a WinINet that does not move the index on
    }
    SetLastError(dwLastError);
    *pullLength = Length.ullLength;
    if (!bValid)
        return eAnnouncedInvalid;
    return Length.bSeen ? eAnnouncedLength : eAnnouncedNone;
}
