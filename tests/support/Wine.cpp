#include "Wine.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarn
{
namespace test
{
bool RunningUnderWine()
{
#if defined(_WIN32)
    // Wine's ntdll exports its version; Microsoft's does not.
    const HMODULE hNtDll = GetModuleHandleA("ntdll.dll");
    return hNtDll != nullptr && GetProcAddress(hNtDll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
} // namespace test
} // namespace tarn
