#include "PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn
{
namespace test
{
std::string MakeSparseFile(const std::string& Path, unsigned long long ullSize)
{
    const int nFd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bool bSized = nFd >= 0 && ::ftruncate(nFd, static_cast<off_t>(ullSize)) == 0;
    if (nFd >= 0)
        ::close(nFd);
    return bSized ? Path : std::string();
}

std::string MakeFifo(const std::string& Path)
{
    return ::mkfifo(Path.c_str(), 0600) == 0 ? Path : std::string();
}
} // namespace test
} // namespace tarn
