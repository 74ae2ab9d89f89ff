#include "NW_Log.h"

#include <cstring>

NWFunctionName NWQualifiedFunctionName(const char* pszPrettyFunction)
{
    NWFunctionName Result;
    Result.szName[0] = '\0';
    if (pszPrettyFunction == nullptr)
        return Result;

    // The name ends at the parameter list's '('; it starts after the last space before it that is
    // not inside template brackets (the return type ends there; constructors have none).
    const char* pszEnd = std::strchr(pszPrettyFunction, '(');
    if (pszEnd == nullptr)
        pszEnd = pszPrettyFunction + std::strlen(pszPrettyFunction);
    const char* pszBegin = pszPrettyFunction;
    int nDepth = 0;
    for (const char* p = pszEnd; p > pszPrettyFunction; --p)
    {
        const char c = p[-1];
        if (c == '>')
            ++nDepth;
        else if (c == '<')
            --nDepth;
        else if (c == ' ' && nDepth == 0)
        {
            pszBegin = p;
            break;
        }
    }

    size_t uLen = static_cast<size_t>(pszEnd - pszBegin);
    if (uLen >= sizeof(Result.szName))
        uLen = sizeof(Result.szName) - 1;
    std::memcpy(Result.szName, pszBegin, uLen);
    Result.szName[uLen] = '\0';
    return Result;
}
