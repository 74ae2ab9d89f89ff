#include "Win32Layer/WinTypes.h"

// The library that holds this may be loaded by dlopen. A thread_local of the default (dynamic)
// TLS model is then allocated with malloc on each thread's first use, and glibc ends the process
// when that allocation fails. The initial-exec model places it in the static TLS block that every
// thread gets when it starts, so reading or setting the last error never allocates.
#if defined(__GNUC__) && !defined(_WIN32)
#define TARN_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#define TARN_STATIC_TLS
#endif

namespace
{
thread_local DWORD t_dwLastError TARN_STATIC_TLS = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void)
{
    return t_dwLastError;
}

extern "C" void SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}
