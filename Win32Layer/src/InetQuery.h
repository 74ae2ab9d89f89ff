#pragma once

// HttpQueryInfoA: what a request handle tells about the request it sends and the answer it got.
#include "InetHeaders.h"

#include <string>

namespace tarn
{
namespace inet
{
// What the queries answer from: the request as it was opened, and the final response head.
struct QuerySource
{
    const std::string& Verb;
    const std::string& Url;
    bool bHttp10;
    const HeaderList& RequestHeaders;
    const ResponseHead* pResponse; // null until the final head has arrived
};

// The body of HttpQueryInfoA: ERROR_SUCCESS or WinINet's error code.
DWORD AnswerQuery(const QuerySource& Source, DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength,
                  DWORD* pdwIndex);
} // namespace inet
} // namespace tarn
