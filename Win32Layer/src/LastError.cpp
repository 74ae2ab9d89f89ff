#include "Win32Layer/WinTypes.h"

namespace
{
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void)
{
    return t_dwLastError;
}

extern "C" void SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}
