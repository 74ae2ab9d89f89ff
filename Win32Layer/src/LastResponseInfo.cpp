// The text InternetGetLastResponseInfoA hands over: why the thread's last call failed, where an
// error code alone does not say (which CA file could not be read).
#include "LastResponseInfo.h"

#include "Win32Layer/WinInet.h"

#include <cstdio>
#include <cstring>

// As the last error: static TLS, so that a library loaded by dlopen never allocates for it.
#if defined(__GNUC__)
#define TARN_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#define TARN_STATIC_TLS
#endif

namespace
{
thread_local char t_szInfo[512] TARN_STATIC_TLS = "";
}

namespace tarn
{
namespace inet
{
void SetLastResponseInfo(const char* pszText)
{
    std::snprintf(t_szInfo, sizeof(t_szInfo), "%s", pszText);
}
} // namespace inet
} // namespace tarn

extern "C" BOOL InternetGetLastResponseInfoA(LPDWORD lpdwError, LPSTR lpszBuffer, LPDWORD lpdwBufferLength)
{
    if (lpdwError == nullptr || lpdwBufferLength == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD dwLength = static_cast<DWORD>(std::strlen(t_szInfo));
    *lpdwError = 0;
    if (lpszBuffer == nullptr || *lpdwBufferLength <= dwLength)
    {
        *lpdwBufferLength = dwLength + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpszBuffer, t_szInfo, dwLength + 1);
    *lpdwBufferLength = dwLength;
    return TRUE;
}
