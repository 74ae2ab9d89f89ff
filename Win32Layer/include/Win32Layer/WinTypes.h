#pragma once

// The Win32 base types and error codes that the library uses, with the widths they have on
// Windows: DWORD is 32 bits, handles are pointers.
#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef std::uint16_t WORD;
typedef unsigned char BYTE;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BUFFER_OVERFLOW 111u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_FILE_TOO_LARGE 223u
#define ERROR_READ_FAULT 30u

#ifdef __cplusplus
extern "C"
{
#endif

    // The calling thread's last error code, as every failing function of the layer leaves it.
    DWORD GetLastError(void);
    void SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}
#endif
