// The shared library's own entry. Loading and unloading do nothing of the library's own; a
// shared object still held at unload is not destroyed.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD /*dwReason*/, LPVOID /*pvReserved*/)
{
    return TRUE;
}
#endif
