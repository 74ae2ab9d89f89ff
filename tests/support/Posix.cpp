#include "Posix.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

#if defined(_WIN32)
std::string MakeFifo(const std::string&)
{
    return std::string();
}

bool ReadFails(const std::string&)
{
    return false;
}

std::size_t OpenFileCount()
{
    return 0;
}

int RunCommand(const std::string&, std::string& Output)
{
    Output.clear();
    return -1;
}

bool CapAddressSpaceAbove(std::uint64_t)
{
    return false;
}
#else
std::string MakeFifo(const std::string& Path)
{
    return ::mkfifo(Path.c_str(), 0600) == 0 ? Path : std::string();
}

bool ReadFails(const std::string& Path)
{
    const int nFd = ::open(Path.c_str(), O_RDONLY);
    char szByte = 0;
    const bool bFails = nFd >= 0 && ::read(nFd, &szByte, 1) < 0;
    if (nFd >= 0)
        ::close(nFd);
    return bFails;
}

std::size_t OpenFileCount()
{
    std::size_t uCount = 0;
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
    return uCount;
}

int RunCommand(const std::string& Command, std::string& Output)
{
    Output.clear();
    FILE* pPipe = ::popen(Command.c_str(), "r");
    if (pPipe == nullptr)
        return -1;
    char szChunk[4096];
    size_t uRead = 0;
    while ((uRead = std::fread(szChunk, 1, sizeof(szChunk), pPipe)) > 0)
        Output.append(szChunk, uRead);
    const int nStatus = ::pclose(pPipe);
    return nStatus != -1 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

bool CapAddressSpaceAbove(std::uint64_t ullBytes)
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
    {
        if (Line.rfind("VmSize:", 0) != 0)
            continue;
        const rlim_t uLimit = static_cast<rlim_t>(std::stoull(Line.substr(7))) * 1024 + ullBytes;
        const rlimit Limit = {uLimit, uLimit};
        return ::setrlimit(RLIMIT_AS, &Limit) == 0;
    }
    return false;
}
#endif
} // namespace test
} // namespace tarn
