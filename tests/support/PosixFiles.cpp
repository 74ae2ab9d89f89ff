#include "PosixFiles.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
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
} // namespace test
} // namespace tarn
