// NW_HttpClient's GET.
#include "NW_HttpClient.h"

#include "NW_GetRequest.h"
#include "NW_Log.h"
#include "NW_ResponseHead.h"
#include "NW_TransferTimeOuts.h"

#include <cstdio>

int NW_HttpClient::RequestGet(const char* cszAddress, const char* cszObjectName)
{
    int nResult = 0;
    int nRetCode = 0;
    DWORD dwStatusCode = 0;
    DWORD dwTimeOut = NW_GET_RECEIVE_TIMEOUT_MS;
    char szAddress[NW_MAX_ADDRESS_SIZE];

    szAddress[0] = '\0';

    NWLOG_PROCESS_ERROR(cszAddress);
    NWLOG_PROCESS_ERROR(cszAddress[0]);
    NWLOG_PROCESS_ERROR(cszObjectName);

    // The two texts are joined with nothing between them; a longer address is cut to 1023 characters.
    std::snprintf(szAddress, sizeof(szAddress), "%s%s", cszAddress, cszObjectName);
    szAddress[sizeof(szAddress) - 1] = '\0';

    m_hInternetSession = InternetOpenA(NW_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    NWLOG_PROCESS_ERROR(m_hInternetSession);

    nRetCode = NW_SetTimeOuts(m_hInternetSession, dwTimeOut);
    NWLOG_PROCESS_ERROR(nRetCode);

    m_hHttpRequest = NW_OpenUrl(m_hInternetSession, szAddress, &m_hInternetConnection);
    NWLOG_PROCESS_ERROR(m_hHttpRequest);

    nRetCode = NW_QueryStatusCode(m_hHttpRequest, &dwStatusCode);
    NWLOG_PROCESS_ERROR(nRetCode);
    NWLOG_PROCESS_ERROR(dwStatusCode == HTTP_STATUS_OK);

    nRetCode = ReadHttpBuffer();
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    if (!nResult)
        EndFailedTransfer(GetLastError(), "download", szAddress, dwStatusCode, true);
    CloseTransferHandles();
    return nResult;
}
