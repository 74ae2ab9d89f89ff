#include "LibraryCalls.h"

#include "NW_HttpClient.h"

namespace tarn
{
namespace
{
const char kAcceptHeader[] = "Accept: */*\r\n";
const char kContentTypeHeader[] = "Content-Type: multipart/form-data; boundary=" NW_POST_BOUNDARY "\r\n";

using Handle = InternetHandle;

bool AddLibraryHeaders(HINTERNET hRequest, size_t uBodyLength)
{
    const std::string Length = "Content-Length: " + std::to_string(uBodyLength) + "\r\n";
    return HttpAddRequestHeadersA(hRequest, kAcceptHeader, sizeof(kAcceptHeader) - 1,
                                  HTTP_ADDREQ_FLAG_REPLACE) &&
           HttpAddRequestHeadersA(hRequest, kContentTypeHeader, sizeof(kContentTypeHeader) - 1,
                                  HTTP_ADDREQ_FLAG_ADD_IF_NEW) &&
           HttpAddRequestHeadersA(hRequest, Length.c_str(), static_cast<DWORD>(Length.size()),
                                  HTTP_ADDREQ_FLAG_ADD_IF_NEW);
}

// Sends the request with its body and waits for the answer; the name of the call that failed, or null.
const char* SendBody(HINTERNET hRequest, const std::string& Body)
{
    INTERNET_BUFFERSA BuffersIn{};
    BuffersIn.dwStructSize = sizeof(INTERNET_BUFFERSA);
    if (!HttpSendRequestExA(hRequest, &BuffersIn, nullptr, HSR_INITIATE, 0))
        return "HttpSendRequestExA";
    DWORD dwWritten = 0;
    if (!InternetWriteFile(hRequest, Body.data(), static_cast<DWORD>(Body.size()), &dwWritten))
        return "InternetWriteFile";
    if (!HttpEndRequestA(hRequest, nullptr, HSR_INITIATE, 0))
        return "HttpEndRequestA";
    return nullptr;
}

LibraryPostResult Failed(const char* pszStep)
{
    LibraryPostResult Result;
    Result.FailedAt = pszStep;
    Result.dwError = GetLastError();
    return Result;
}
} // namespace

DWORD StatusOf(HINTERNET hRequest)
{
    DWORD dwStatus = 0;
    DWORD dwLength = sizeof(dwStatus);
    if (!HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &dwLength,
                        nullptr))
        return 0;
    return dwStatus;
}

HINTERNET OpenLibrarySession()
{
    return InternetOpenA(kLibraryAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

LibraryPostResult PostLikeTheLibrary(HINTERNET hSession, const char* pszServer, INTERNET_PORT nPort,
                                     const char* pszObject, const std::string& Body,
                                     const ResponseReader& ReadResponse)
{
    Handle Connection(InternetConnectA(hSession, pszServer, nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                       kLibraryConnectFlags, 0));
    if (!Connection)
        return Failed("InternetConnectA");
    LPCSTR AcceptTypes[] = {"*/*", nullptr};
    Handle Request(HttpOpenRequestA(Connection.get(), "POST", pszObject, "HTTP/1.0", nullptr, AcceptTypes,
                                    kLibraryPostFlags, 0));
    if (!Request)
        return Failed("HttpOpenRequestA");
    if (!AddLibraryHeaders(Request.get(), Body.size()))
        return Failed("HttpAddRequestHeadersA");
    if (const char* pszFailed = SendBody(Request.get(), Body))
        return Failed(pszFailed);
    LibraryPostResult Result;
    Result.dwStatus = StatusOf(Request.get());
    if (Result.dwStatus == 0)
        return Failed("HttpQueryInfoA");
    if (ReadResponse && !ReadResponse(Request.get()))
    {
        const DWORD dwStatus = Result.dwStatus;
        Result = Failed("InternetReadFile");
        Result.dwStatus = dwStatus;
    }
    return Result;
}
} // namespace tarn
