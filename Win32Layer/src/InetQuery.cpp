#include "InetQuery.h"

#include "InetUrl.h"

#include <cstdint>
#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
struct Query
{
    DWORD dwLevel = 0;
    bool bRequest = false; // HTTP_QUERY_FLAG_REQUEST_HEADERS
    bool bNumber = false;
    bool bNumber64 = false;
};

DWORD ParseQuery(DWORD dwInfoLevel, Query& Result)
{
    const DWORD dwModifiers = dwInfoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
    Result.dwLevel = dwInfoLevel & HTTP_QUERY_HEADER_MASK;
    Result.bRequest = (dwModifiers & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
    Result.bNumber = (dwModifiers & HTTP_QUERY_FLAG_NUMBER) != 0;
    Result.bNumber64 = (dwModifiers & HTTP_QUERY_FLAG_NUMBER64) != 0;
    if ((dwModifiers &
         ~(HTTP_QUERY_FLAG_REQUEST_HEADERS | HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) ||
        (Result.bNumber && Result.bNumber64))
        return ERROR_HTTP_INVALID_QUERY_REQUEST;
    return ERROR_SUCCESS;
}

std::string RequestHeadText(const QuerySource& Source)
{
    std::string Text =
        Source.Verb + " " + ObjectOf(Source.Url) + (Source.bHttp10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    for (const HeaderLine& Header : Source.RequestHeaders.Lines())
        Text += Header.Name + ": " + Header.Value + "\r\n";
    return Text + "\r\n";
}

// The header a level stands for; null for the levels that are not one header.
const char* NamedHeader(DWORD dwLevel)
{
    switch (dwLevel)
    {
    case HTTP_QUERY_CONTENT_TYPE:
        return "Content-Type";
    case HTTP_QUERY_CONTENT_LENGTH:
        return "Content-Length";
    case HTTP_QUERY_LOCATION:
        return "Location";
    default:
        return nullptr;
    }
}

// HTTP_QUERY_CUSTOM names the header in the buffer, up to its NUL or a colon.
DWORD CustomName(const void* pBuffer, DWORD dwLength, std::string& Name)
{
    if (pBuffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    const char* pszName = static_cast<const char*>(pBuffer);
    Name.assign(pszName, strnlen(pszName, dwLength));
    const size_t uColon = Name.find(':');
    if (uColon != std::string::npos)
        Name.resize(uColon);
    return Name.empty() ? ERROR_HTTP_HEADER_NOT_FOUND : ERROR_SUCCESS;
}

// What the level asks for: a value of its own, or the Name of a header to look up.
DWORD SelectItem(const QuerySource& Source, const Query& Q, const void* pBuffer, DWORD dwLength,
                 std::string& Value, std::string& Name)
{
    const ResponseHead* pHead = Source.pResponse;
    const bool bStatus = Q.dwLevel == HTTP_QUERY_STATUS_CODE || Q.dwLevel == HTTP_QUERY_STATUS_TEXT;
    if (bStatus && Q.bRequest)
        return ERROR_HTTP_INVALID_QUERY_REQUEST;
    if (Q.dwLevel == HTTP_QUERY_STATUS_CODE)
        Value = std::to_string(pHead->dwStatus);
    else if (Q.dwLevel == HTTP_QUERY_STATUS_TEXT)
        Value = pHead->StatusText;
    else if (Q.dwLevel == HTTP_QUERY_VERSION)
        Value = Q.bRequest ? std::string(Source.bHttp10 ? "HTTP/1.0" : "HTTP/1.1") : pHead->Version;
    else if (Q.dwLevel == HTTP_QUERY_RAW_HEADERS_CRLF)
        Value = Q.bRequest ? RequestHeadText(Source) : pHead->Raw;
    else if (const char* pszName = NamedHeader(Q.dwLevel))
        Name = pszName;
    else if (Q.dwLevel == HTTP_QUERY_CUSTOM)
        return CustomName(pBuffer, dwLength, Name);
    else
        return ERROR_HTTP_INVALID_QUERY_REQUEST;
    return ERROR_SUCCESS;
}

DWORD CopyNumber(const std::string& Value, bool bNumber64, void* pBuffer, DWORD* pdwLength)
{
    const DWORD dwSize = bNumber64 ? 8 : 4;
    if (pBuffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*pdwLength < dwSize)
    {
        *pdwLength = dwSize;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::uint64_t uNumber = 0;
    if (!ParseDecimal(Value, uNumber) || (!bNumber64 && uNumber > 0xFFFFFFFFu))
        return ERROR_HTTP_INVALID_HEADER;
    if (bNumber64)
        std::memcpy(pBuffer, &uNumber, 8);
    else
    {
        const DWORD dwNumber = static_cast<DWORD>(uNumber);
        std::memcpy(pBuffer, &dwNumber, 4);
    }
    *pdwLength = dwSize;
    return ERROR_SUCCESS;
}

// As WinINet: a short buffer gets the length needed with its NUL; success gives the length without it.
DWORD CopyText(const std::string& Value, void* pBuffer, DWORD* pdwLength)
{
    const size_t uNeeded = Value.size() + 1;
    if (pBuffer == nullptr || *pdwLength < uNeeded)
    {
        *pdwLength = static_cast<DWORD>(uNeeded);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pBuffer, Value.c_str(), uNeeded);
    *pdwLength = static_cast<DWORD>(Value.size());
    return ERROR_SUCCESS;
}
} // namespace

DWORD AnswerQuery(const QuerySource& Source, DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength,
                  DWORD* pdwIndex)
{
    if (pdwLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    Query Q;
    DWORD dwError = ParseQuery(dwInfoLevel, Q);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    if (!Q.bRequest && Source.pResponse == nullptr)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;

    std::string Value;
    std::string Name;
    dwError = SelectItem(Source, Q, pBuffer, *pdwLength, Value, Name);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    if (!Name.empty())
    {
        const size_t uIndex = pdwIndex != nullptr ? *pdwIndex : 0;
        const HeaderLine* pHeader =
            Q.bRequest ? Source.RequestHeaders.Find(Name, uIndex) : Source.pResponse->Find(Name, uIndex);
        if (pHeader == nullptr)
            return ERROR_HTTP_HEADER_NOT_FOUND;
        Value = pHeader->Value;
    }

    dwError = (Q.bNumber || Q.bNumber64) ? CopyNumber(Value, Q.bNumber64, pBuffer, pdwLength)
                                         : CopyText(Value, pBuffer, pdwLength);
    if (dwError == ERROR_SUCCESS && !Name.empty() && pdwIndex != nullptr)
        ++*pdwIndex;
    return dwError;
}
} // namespace inet
} // namespace tarn
