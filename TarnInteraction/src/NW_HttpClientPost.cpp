// NW_HttpClient's multipart POST.
#include "NW_HttpClient.h"

#include "NW_Log.h"
#include "NW_ResponseHead.h"
#include "NW_SendWatch.h"
#include "NW_TransferPlatform.h"
#include "NW_TransferTimeOuts.h"
#include "NW_UrlParts.h"

#include <cstdio>
#include <cstring>

namespace
{
const char NW_ACCEPT_HEADER[] = "Accept: */*\r\n";
const char NW_CONTENT_TYPE_HEADER[] = "Content-Type: multipart/form-data; boundary=" NW_POST_BOUNDARY "\r\n";

LPCSTR NW_ACCEPT_TYPES[] = {"*/*", nullptr};

// The address as the POST's failure line shows it, shaped as the failed download's: a host name as
// "http://host:port/object", an address with a scheme as written with the object after it; empty
// when the arguments were refused. The last error is left as it is.
void FormatPostAddress(char* pszAddress, size_t uSize, const char* cszAddress, const char* cszObjectName,
                       int nPort)
{
    pszAddress[0] = '\0';
    if (!cszAddress || !cszAddress[0] || !cszObjectName)
        return;
    if (std::strstr(cszAddress, "://") == nullptr)
    {
        std::snprintf(pszAddress, uSize, "http://%s:%d%s", cszAddress, nPort, cszObjectName);
        return;
    }
    size_t uLength = std::strlen(cszAddress);
    if (cszAddress[uLength - 1] == '/' && cszObjectName[0] == '/')
        --uLength;
    std::snprintf(pszAddress, uSize, "%.*s%s", static_cast<int>(uLength), cszAddress, cszObjectName);
}

// The POST's own header lines: what it accepts, the multipart type and the body's length.
BOOL AddPostHeaders(HINTERNET hRequest, DWORD dwBodySize)
{
    char szContentLength[32];
    const int nContentLengthLen = std::snprintf(szContentLength, sizeof(szContentLength),
                                                "Content-Length: %d\r\n", static_cast<int>(dwBodySize));
    return HttpAddRequestHeadersA(hRequest, NW_ACCEPT_HEADER, sizeof(NW_ACCEPT_HEADER) - 1,
                                  HTTP_ADDREQ_FLAG_REPLACE) &&
           HttpAddRequestHeadersA(hRequest, NW_CONTENT_TYPE_HEADER, sizeof(NW_CONTENT_TYPE_HEADER) - 1,
                                  HTTP_ADDREQ_FLAG_ADD_IF_NEW) &&
           HttpAddRequestHeadersA(hRequest, szContentLength, static_cast<DWORD>(nContentLengthLen),
                                  HTTP_ADDREQ_FLAG_ADD_IF_NEW);
}

// Starts the request under the watch, then sends the body in pieces of at most
// NW_POST_WRITE_PIECE_SIZE and ends the request. A request the watch had to close is set to null.
BOOL SendPostBody(NW_SendWatch& Watch, HINTERNET* phRequest, const unsigned char* pbyBody, DWORD dwBodySize)
{
    const HINTERNET hRequest = Watch.Send(phRequest, nullptr) ? *phRequest : nullptr;
    DWORD dwWritten = 0;
    DWORD dwPiece = 0;

    if (hRequest == nullptr)
        return FALSE;
    for (DWORD dwSent = 0; dwSent < dwBodySize; dwSent += dwPiece)
    {
        dwPiece =
            dwBodySize - dwSent < NW_POST_WRITE_PIECE_SIZE ? dwBodySize - dwSent : NW_POST_WRITE_PIECE_SIZE;
        if (!InternetWriteFile(hRequest, pbyBody + dwSent, dwPiece, &dwWritten))
            return FALSE;
    }
    return HttpEndRequestA(hRequest, nullptr, HSR_INITIATE, 0);
}
} // namespace

int NW_HttpClient::RequestPost(const char* cszAddress, const char* cszObjectName, int nPort)
{
    int nResult = 0;
    int nRetCode = 0;
    DWORD dwStatusCode = 0;
    unsigned char* pbyPostBuffer = nullptr;
    DWORD dwPostBufferSize = 0;
    char szAddress[NW_MAX_ADDRESS_SIZE];
    NW_POST_SERVER Server;
    DWORD_PTR dwContext = 0;
    NW_SendWatch Watch(NW_CONNECT_TIMEOUT_MS, NW_POST_RECEIVE_TIMEOUT_MS, NW_SEND_TIMEOUT_MS);

    NWLOG_PROCESS_ERROR(cszAddress);
    NWLOG_PROCESS_ERROR(cszAddress[0]);
    NWLOG_PROCESS_ERROR(cszObjectName);
    // The watch's context goes with the request, whose status callbacks move its deadline on.
    nRetCode = NW_CrackPostServer(cszAddress, nPort, &Server) && Watch.Prepare(&dwContext);
    NWLOG_PROCESS_ERROR(nRetCode);
    m_hInternetSession = InternetOpenA(NW_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    NWLOG_PROCESS_ERROR(m_hInternetSession);
    m_hInternetConnection = InternetConnectA(m_hInternetSession, Server.cszHost, Server.nPort, Server.cszUser,
                                             Server.cszPassword, INTERNET_SERVICE_HTTP,
                                             INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    NWLOG_PROCESS_ERROR(m_hInternetConnection);
    nRetCode = NW_SetTimeOuts(m_hInternetConnection, NW_POST_RECEIVE_TIMEOUT_MS);
    NWLOG_PROCESS_ERROR(nRetCode);

    m_hHttpRequest =
        HttpOpenRequestA(m_hInternetConnection, "POST", cszObjectName, "HTTP/1.0", nullptr, NW_ACCEPT_TYPES,
                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                             INTERNET_FLAG_FORMS_SUBMIT | Server.dwSecureFlag,
                         dwContext);
    NWLOG_PROCESS_ERROR(m_hHttpRequest);
    nRetCode = NW_SetTimeOuts(m_hHttpRequest, NW_POST_RECEIVE_TIMEOUT_MS);
    NWLOG_PROCESS_ERROR(nRetCode);

    nRetCode = GetPostBuffer(&pbyPostBuffer, &dwPostBufferSize);
    NWLOG_PROCESS_ERROR(nRetCode);
    nRetCode = AddPostHeaders(m_hHttpRequest, dwPostBufferSize);
    NWLOG_PROCESS_ERROR(nRetCode);
    nRetCode = SendPostBody(Watch, &m_hHttpRequest, pbyPostBuffer, dwPostBufferSize);
    NWLOG_PROCESS_ERROR(nRetCode);

    nRetCode = NW_QueryStatusCode(m_hHttpRequest, &dwStatusCode);
    NWLOG_PROCESS_ERROR(nRetCode);
    NWLOG_PROCESS_ERROR(dwStatusCode == HTTP_STATUS_OK);
    nRetCode = ReadHttpBuffer();
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    if (!nResult)
    {
        FormatPostAddress(szAddress, sizeof(szAddress), cszAddress, cszObjectName, nPort);
        EndFailedTransfer(GetLastError(), "upload", szAddress, dwStatusCode, false);
    }
    NW_BodyFree(pbyPostBuffer);
    CloseTransferHandles();
    // A POST consumes its parameters, whatever the outcome.
    ClearPostParam();
    return nResult;
}
