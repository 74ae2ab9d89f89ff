// The Win32 file functions on POSIX descriptors. A HANDLE carries the descriptor plus one, so
// that no valid handle is null or INVALID_HANDLE_VALUE.
//
// What POSIX cannot reproduce: share modes. Windows refuses to open a file that another
// process holds open for writing when only FILE_SHARE_READ is granted; here it opens, and the
// other process may change the file while it is read. Nor does anything stop others from
// opening it for writing afterwards.
#include "Win32Layer/WinFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
HANDLE HandleFromFd(int nFd)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(nFd) + 1);
}

// -1 for anything that cannot be one of our handles.
int FdFromHandle(HANDLE hFile)
{
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return -1;
    const LONG_PTR nValue = reinterpret_cast<LONG_PTR>(hFile) - 1;
    if (nValue < 0 || nValue > INT_MAX)
        return -1;
    return static_cast<int>(nValue);
}

DWORD ErrorFromErrno(int nErrno)
{
    switch (nErrno)
    {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EFBIG:
    case EOVERFLOW:
        return ERROR_FILE_TOO_LARGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_READ_FAULT;
    }
}

// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing directory on its path
// (ERROR_PATH_NOT_FOUND); POSIX says ENOENT for both.
DWORD ErrorFromOpenErrno(int nErrno, const char* pszPath)
{
    if (nErrno != ENOENT)
        return ErrorFromErrno(nErrno);
    const char* pszSlash = std::strrchr(pszPath, '/');
    if (pszSlash == nullptr)
        return ERROR_FILE_NOT_FOUND;
    try
    {
        const std::string Parent(pszPath, pszSlash == pszPath ? 1 : static_cast<size_t>(pszSlash - pszPath));
        struct stat Stat;
        if (::stat(Parent.c_str(), &Stat) != 0 || !S_ISDIR(Stat.st_mode))
            return ERROR_PATH_NOT_FOUND;
    }
    catch (...)
    {
    }
    return ERROR_FILE_NOT_FOUND;
}

// Opens an existing file for reading: ERROR_SUCCESS and its descriptor in nFd, or the error.
DWORD OpenForReading(const char* pszPath, int& nFd)
{
    do
        nFd = ::open(pszPath, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (nFd < 0 && errno == EINTR);
    if (nFd < 0)
        return ErrorFromOpenErrno(errno, pszPath);

    // Windows does not open a directory without FILE_FLAG_BACKUP_SEMANTICS.
    struct stat Stat;
    const bool bStat = ::fstat(nFd, &Stat) == 0;
    if (!bStat || S_ISDIR(Stat.st_mode))
    {
        const DWORD dwError = bStat ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
        ::close(nFd);
        nFd = -1;
        return dwError;
    }
    return ERROR_SUCCESS;
}

// A synchronous ReadFile on a disk file returns the whole request unless the file ends first, so
// this loops over POSIX's short reads. dwDone tells how many bytes came, also on failure.
DWORD ReadFully(int nFd, unsigned char* pbyDest, DWORD dwToRead, DWORD& dwDone)
{
    dwDone = 0;
    while (dwDone < dwToRead)
    {
        const size_t uChunk = dwToRead - dwDone;
        const ssize_t nRead = ::read(nFd, pbyDest + dwDone, uChunk > 0x40000000u ? 0x40000000u : uChunk);
        if (nRead < 0)
        {
            if (errno == EINTR)
                continue;
            return ErrorFromErrno(errno);
        }
        if (nRead == 0)
            break;
        dwDone += static_cast<DWORD>(nRead);
    }
    return ERROR_SUCCESS;
}
} // namespace

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                              LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/)
{
    // Only what the library asks for: reading an existing file.
    if (lpFileName == nullptr || dwDesiredAccess != GENERIC_READ || dwCreationDisposition != OPEN_EXISTING)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName[0] == '\0')
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    int nFd = -1;
    const DWORD dwError = OpenForReading(lpFileName, nFd);
    if (dwError != ERROR_SUCCESS)
    {
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }

#if defined(POSIX_FADV_SEQUENTIAL)
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        ::posix_fadvise(nFd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)dwFlagsAndAttributes;
#endif
    SetLastError(ERROR_SUCCESS);
    return HandleFromFd(nFd);
}

extern "C" DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    const int nFd = FdFromHandle(hFile);
    struct stat Stat;
    if (nFd < 0 || ::fstat(nFd, &Stat) != 0)
    {
        SetLastError(nFd < 0 ? ERROR_INVALID_HANDLE : ErrorFromErrno(errno));
        return INVALID_FILE_SIZE;
    }

    // As on Windows: without room for the high part a size past 4 GiB comes back as its low
    // 32 bits. A low part of INVALID_FILE_SIZE is a size when GetLastError gives ERROR_SUCCESS.
    const unsigned long long ullSize = static_cast<unsigned long long>(Stat.st_size);
    const DWORD dwLow = static_cast<DWORD>(ullSize & 0xFFFFFFFFull);
    const DWORD dwHigh = static_cast<DWORD>(ullSize >> 32);
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = dwHigh;
    SetLastError(ERROR_SUCCESS);
    return dwLow;
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    const int nFd = FdFromHandle(hFile);
    if (nFd < 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr ||
        (lpBuffer == nullptr && nNumberOfBytesToRead))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    DWORD dwDone = 0;
    const DWORD dwError = ReadFully(nFd, static_cast<unsigned char*>(lpBuffer), nNumberOfBytesToRead, dwDone);
    *lpNumberOfBytesRead = dwDone;
    SetLastError(dwError);
    return dwError == ERROR_SUCCESS ? TRUE : FALSE;
}

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    const int nFd = FdFromHandle(hObject);
    if (nFd < 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // No retry on EINTR: Linux has released the descriptor by then.
    if (::close(nFd) != 0 && errno != EINTR)
    {
        SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
