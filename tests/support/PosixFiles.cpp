#include "PosixFiles.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarn
{
namespace test
{
std::string MakeSparseFile(const std::string& Path, unsigned long long ullSize)
{
    // Setting the size of an empty file allocates nothing on Linux (and under Wine, which sets it
    // with ftruncate).
    std::ofstream(Path, std::ios::binary | std::ios::trunc).close();
    std::error_code Error;
    std::filesystem::resize_file(Path, ullSize, Error);
    return Error ? std::string() : Path;
}

std::string MakeFifo(const std::string& Path)
{
#if defined(_WIN32)
    (void)Path;
    return std::string();
#else
    return ::mkfifo(Path.c_str(), 0600) == 0 ? Path : std::string();
#endif
}

bool ReadFails(const std::string& Path)
{
#if defined(_WIN32)
    (void)Path;
    return false;
#else
    const int nFd = ::open(Path.c_str(), O_RDONLY);
    char szByte = 0;
    const bool bFails = nFd >= 0 && ::read(nFd, &szByte, 1) < 0;
    if (nFd >= 0)
        ::close(nFd);
    return bFails;
#endif
}

std::size_t OpenFileCount()
{
    std::size_t uCount = 0;
#if !defined(_WIN32)
    if (DIR* pDir = ::opendir("/proc/self/fd"))
    {
        while (const dirent* pEntry = ::readdir(pDir))
        {
            char szTarget[4096];
            const std::string Link = std::string("/proc/self/fd/") + pEntry->d_name;
            const ssize_t nLen = ::readlink(Link.c_str(), szTarget, sizeof(szTarget));
            uCount += pEntry->d_name[0] != '.' && nLen > 0 && szTarget[0] == '/';
        }
        ::closedir(pDir);
    }
#endif
    return uCount;
}
} // namespace test
} // namespace tarn
