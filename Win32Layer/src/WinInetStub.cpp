// Placeholder until the libcurl-based WinINet layer lands: every call fails.
#include "Win32Layer/WinInet.h"

extern "C" HINTERNET InternetOpenA(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) { SetLastError(ERROR_NOT_SUPPORTED); return nullptr; }
extern "C" BOOL InternetSetOptionA(HINTERNET, DWORD, LPVOID, DWORD) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" HINTERNET InternetConnectA(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR) { SetLastError(ERROR_INVALID_HANDLE); return nullptr; }
extern "C" HINTERNET HttpOpenRequestA(HINTERNET, LPCSTR, LPCSTR, LPCSTR, LPCSTR, LPCSTR*, DWORD, DWORD_PTR) { SetLastError(ERROR_INVALID_HANDLE); return nullptr; }
extern "C" BOOL HttpAddRequestHeadersA(HINTERNET, LPCSTR, DWORD, DWORD) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" BOOL HttpSendRequestExA(HINTERNET, LPINTERNET_BUFFERSA, LPINTERNET_BUFFERSA, DWORD, DWORD_PTR) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" BOOL InternetWriteFile(HINTERNET, LPCVOID, DWORD, LPDWORD) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" BOOL HttpEndRequestA(HINTERNET, LPINTERNET_BUFFERSA, DWORD, DWORD_PTR) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" HINTERNET InternetOpenUrlA(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR) { SetLastError(ERROR_INVALID_HANDLE); return nullptr; }
extern "C" BOOL HttpQueryInfoA(HINTERNET, DWORD, LPVOID, LPDWORD, LPDWORD) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" BOOL InternetReadFile(HINTERNET, LPVOID, DWORD, LPDWORD) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
extern "C" BOOL InternetCloseHandle(HINTERNET) { SetLastError(ERROR_INVALID_HANDLE); return FALSE; }
