// NW_HttpClient: what the POST and the GET share, closing their handles and ending a failure.
#include "NW_HttpClient.h"

#include "NW_Log.h"
#include "NW_MaskPassword.h"

namespace
{
// WinINet's extended text for the failure, when it has one (the Linux layer names a CA file it
// could not read there).
void LogResponseInfo()
{
    char szInfo[512];
    DWORD dwInfoLength = sizeof(szInfo);
    DWORD dwInfoError = 0;
    if (InternetGetLastResponseInfoA(&dwInfoError, szInfo, &dwInfoLength) && dwInfoLength != 0)
        NWLogPrintf(NWLOG_DEBUG, "Response info : %s\n", szInfo);
}
} // namespace

void NW_HttpClient::CloseTransferHandles()
{
    if (m_hHttpRequest != nullptr)
    {
        InternetCloseHandle(m_hHttpRequest);
        m_hHttpRequest = nullptr;
    }
    if (m_hInternetConnection != nullptr)
    {
        InternetCloseHandle(m_hInternetConnection);
        m_hInternetConnection = nullptr;
    }
    if (m_hInternetSession != nullptr)
    {
        InternetCloseHandle(m_hInternetSession);
        m_hInternetSession = nullptr;
    }
}

void NW_HttpClient::EndFailedTransfer(DWORD dwError, const char* cszVerb, const char* cszAddress,
                                      DWORD dwStatusCode, bool bResponseInfo)
{
    char szLoggedAddress[NW_MAX_ADDRESS_SIZE + 3];

    NW_MaskPassword(cszAddress, szLoggedAddress, sizeof(szLoggedAddress));
    NWLogPrintf(NWLOG_DEBUG, "Failed to %s `%s`, Error Code %d.", cszVerb, szLoggedAddress,
                static_cast<int>(dwError));
    if (dwStatusCode != HTTP_STATUS_OK)
        NWLogPrintf(NWLOG_DEBUG, "Response status code : %d\n", static_cast<int>(dwStatusCode));
    if (bResponseInfo)
        LogResponseInfo();
    SetLastError(dwError);
    m_ResponseBuffer.Clear();
}
