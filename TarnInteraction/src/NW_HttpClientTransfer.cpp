// NW_HttpClient transfers: the multipart POST, the GET, and reading the response. (Being built.)
#include "NW_HttpClient.h"

#include "NW_Log.h"

int NW_HttpClient::RequestPost(const char*, const char*, int)
{
    ClearPostParam();
    return 0;
}

int NW_HttpClient::RequestGet(const char*, const char*)
{
    return 0;
}

int NW_HttpClient::ReadHttpBuffer()
{
    return 0;
}

int NW_HttpClient::GetResponse(unsigned char** ppbyBuffer, DWORD* pdwBufferSize)
{
    int nResult = 0;
    int nRetCode = 0;

    NWLOG_PROCESS_ERROR(ppbyBuffer);
    NWLOG_PROCESS_ERROR(pdwBufferSize);
    nRetCode = !m_ResponseBuffer.IsEmpty();
    NWLOG_PROCESS_ERROR(nRetCode);

    *ppbyBuffer = m_ResponseBuffer.GetData();
    *pdwBufferSize = m_dwResponseSize;

    nResult = 1;
Exit0:
    return nResult;
}
