// The shared library's own entry on Windows. Loading and unloading do nothing of the library's own;
// a shared object still held at unload is not destroyed.
#include "NW_Platform.h"

BOOL WINAPI DllMain(HINSTANCE /*hInstance*/, DWORD /*dwReason*/, LPVOID /*pvReserved*/)
{
    return TRUE;
}
