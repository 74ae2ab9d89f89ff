#pragma once

// WinINet calls of the shape NW_HttpClient makes, for the tests of the WinINet layer and the
// benchmarks, which drive the layer without the library. What the library itself sends is checked
// through NW_HttpClient (TransferWireTest), not against this copy.
#include "NW_Platform.h"

#include <functional>
#include <memory>
#include <string>

namespace tarn
{
// The agent and the flags of the library's sessions and requests.
constexpr const char* kLibraryAgent = "TarnInteraction";
constexpr DWORD kLibraryConnectFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
constexpr DWORD kLibraryPostFlags =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_FORMS_SUBMIT;

struct InternetHandleCloser
{
    void operator()(void* hInternet) const
    {
        if (hInternet != nullptr)
            InternetCloseHandle(hInternet);
    }
};
// Owns a WinINet handle; closes it when it goes.
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

// InternetOpenA as the library opens its sessions (the system's proxy settings).
HINTERNET OpenLibrarySession();

// The status as the library asks for it; 0 when the query fails.
DWORD StatusOf(HINTERNET hRequest);

struct LibraryPostResult
{
    std::string FailedAt; // the function that failed, "" when all succeeded
    DWORD dwError = 0;
    DWORD dwStatus = 0;
};

// Reads the response of an open request; false when a read failed.
using ResponseReader = std::function<bool(HINTERNET hRequest)>;

// A POST the way the library makes one: connection, request with HTTP/1.0, the three headers,
// HttpSendRequestExA, one InternetWriteFile with the whole body, HttpEndRequestA, the status, then
// ReadResponse (when given) with the request; the handles closed in reverse order. The session is
// the caller's.
LibraryPostResult PostLikeTheLibrary(HINTERNET hSession, const char* pszServer, INTERNET_PORT nPort,
                                     const char* pszObject, const std::string& Body,
                                     const ResponseReader& ReadResponse = ResponseReader());
} // namespace tarn
