// NW_HttpClient::GetPostBuffer: the multipart/form-data body. (Being built.)
#include "NW_HttpClient.h"

#include "NW_Log.h"

int NW_HttpClient::GetPostBuffer(unsigned char** ppbyPostBuffer, DWORD* pdwPostBufferSize)
{
    int nResult = 0;

    NWLOG_PROCESS_ERROR(ppbyPostBuffer);
    NWLOG_PROCESS_ERROR(pdwPostBufferSize);
    NWLOG_PROCESS_ERROR(false);

    nResult = 1;
Exit0:
    return nResult;
}
