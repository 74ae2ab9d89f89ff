// NW_HttpClient: construction, destruction and the form-parameter list.
#include "NW_HttpClient.h"

#include "NW_Log.h"

#include <cstring>
#include <new>

namespace
{
// CR, LF and '"' would end a part's Content-Disposition line, or its quoted name or filename,
// early and let the rest of the text forge header lines or fields. So would a final backslash for
// receivers that read quoted-pairs (RFC 822 quoting, as Python's email does): it escapes the
// closing quote. Inner backslashes, as in Windows paths, are sent as they are.
bool IsHeaderSafe(const char* cszText)
{
    const size_t uLen = std::strlen(cszText);
    return std::strpbrk(cszText, "\r\n\"") == nullptr && (uLen == 0 || cszText[uLen - 1] != '\\');
}

char* CopyText(const char* cszText, size_t uLen)
{
    char* pszCopy = new (std::nothrow) char[uLen + 1];
    if (pszCopy != nullptr)
    {
        std::memcpy(pszCopy, cszText, uLen);
        pszCopy[uLen] = '\0';
    }
    return pszCopy;
}
} // namespace

NW_HttpClient::NW_HttpClient()
    : m_hInternetSession(nullptr), m_hInternetConnection(nullptr), m_hHttpRequest(nullptr),
      m_dwResponseSize(0)
{
}

NW_HttpClient::~NW_HttpClient()
{
    // Members then go in reverse order of declaration: the list's storage, then the response buffer.
    ClearPostParam();
}

int NW_HttpClient::AddPostParam(PostParamType ePostParamType, const char* cszParamName,
                                const char* cszParamValue)
{
    int nResult = 0;
    size_t dwParamNameLen = 0;
    bool bAppended = false;
    PostParam Param = {ePostParamType, nullptr, nullptr};

    NWLOG_PROCESS_ERROR(ePostParamType == eNormal || ePostParamType == eBinaryFile);
    NWLOG_PROCESS_ERROR(cszParamName);
    NWLOG_PROCESS_ERROR(cszParamValue);

    dwParamNameLen = std::strlen(cszParamName);
    NWLOG_PROCESS_ERROR(dwParamNameLen > 0);
    NWLOG_PROCESS_ERROR(IsHeaderSafe(cszParamName));
    NWLOG_PROCESS_ERROR(ePostParamType != eBinaryFile || IsHeaderSafe(cszParamValue));

    Param.pszName = CopyText(cszParamName, dwParamNameLen);
    NWLOG_PROCESS_ERROR(Param.pszName);
    Param.pszValue = CopyText(cszParamValue, std::strlen(cszParamValue));
    NWLOG_PROCESS_ERROR(Param.pszValue);

    try
    {
        m_PostList.push_back(Param);
        bAppended = true;
    }
    catch (...)
    {
        // bad_alloc, or length_error past the list's largest size: the list stays as it was.
    }
    NWLOG_PROCESS_ERROR(bAppended);

    nResult = 1;
Exit0:
    if (!nResult)
    {
        delete[] Param.pszName;
        delete[] Param.pszValue;
    }
    return nResult;
}

int NW_HttpClient::GetPostParam(int nIndex, char** ppszRetParamName, char** ppRetParamValue)
{
    int nResult = 0;

    NWLOG_PROCESS_ERROR(nIndex < (int)m_PostList.size());
    NWLOG_PROCESS_ERROR(nIndex >= 0);
    NWLOG_PROCESS_ERROR(ppRetParamValue);
    NWLOG_PROCESS_ERROR(ppszRetParamName);

    *ppszRetParamName = m_PostList[static_cast<size_t>(nIndex)].pszName;
    *ppRetParamValue = m_PostList[static_cast<size_t>(nIndex)].pszValue;

    nResult = 1;
Exit0:
    return nResult;
}

int NW_HttpClient::ClearPostParam()
{
    for (PostParam& Param : m_PostList)
    {
        if (Param.pszName != nullptr)
        {
            delete[] Param.pszName;
            Param.pszName = nullptr;
        }
        if (Param.pszValue != nullptr)
        {
            delete[] Param.pszValue;
            Param.pszValue = nullptr;
        }
    }
    m_PostList.clear();
    return 1;
}
