#include "AddressSpace.h"

#include <fstream>
#include <string>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace tarn
{
namespace test
{
bool CanCapAddressSpace()
{
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

bool CapAddressSpaceAbove(std::uint64_t ullBytes)
{
#if defined(_WIN32)
    (void)ullBytes;
    return false;
#else
    std::ifstream Status("/proc/self/status");
    std::string Line;
    long long llSizeKb = -1;
    while (llSizeKb < 0 && std::getline(Status, Line))
        if (Line.rfind("VmSize:", 0) == 0)
            llSizeKb = std::stoll(Line.substr(7));
    if (llSizeKb < 0)
        return false;
    const rlim_t uLimit = static_cast<rlim_t>(llSizeKb) * 1024 + static_cast<rlim_t>(ullBytes);
    const rlimit Limit = {uLimit, uLimit};
    return ::setrlimit(RLIMIT_AS, &Limit) == 0;
#endif
}
} // namespace test
} // namespace tarn
