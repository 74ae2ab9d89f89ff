// The Win32 file functions on POSIX: CreateFileA, GetFileSize, ReadFile and CloseHandle, with
// the handles, sizes and last-error codes that Windows gives.
#include "Posix.h"
#include "TempDir.h"
#include "Win32Layer/WinFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
class WinFileTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(m_Dir.Path().empty()); }

    std::string Path(const std::string& Name) const { return m_Dir.Path(Name); }
    std::string Write(const std::string& Name, const std::string& Bytes) const
    {
        return m_Dir.Write(Name, Bytes);
    }

    std::string Sparse(const std::string& Name, unsigned long long ullSize) const
    {
        EXPECT_NE("", tarn::test::MakeSparseFile(Path(Name), ullSize));
        return Path(Name);
    }

    // The call the body builder makes.
    static HANDLE Open(const std::string& FilePath)
    {
        return CreateFileA(FilePath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, NULL);
    }

    tarn::TempDir m_Dir{"WinFileTests"};
};
} // namespace

TEST_F(WinFileTest, OpenFailuresGiveInvalidHandleAndTheirErrors)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("missing.bin")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("no-such-dir/missing.bin")));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

    // A file used as a directory.
    const std::string File = Write("plain.txt", "x");
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(File + "/child"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

    // Windows opens no directory without FILE_FLAG_BACKUP_SEMANTICS.
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(m_Dir.Path()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(""));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

    // Only reading an existing file is supported.
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(File.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(nullptr, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(WinFileTest, UnreadableFileIsAccessDenied)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    const std::string File = Write("secret.bin", "x");
    ASSERT_EQ(0, ::chmod(File.c_str(), 0));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(File));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

TEST_F(WinFileTest, FileHeldOpenForWritingStillOpens)
{
    // Share modes have no POSIX counterpart: Windows would refuse this open.
    const std::string File = Write("busy.bin", "abc");
    std::ofstream Writer(File, std::ios::binary | std::ios::app);
    ASSERT_TRUE(Writer.is_open());
    HANDLE hFile = Open(File);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    EXPECT_NE(nullptr, hFile);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(TRUE, CloseHandle(hFile));
}

TEST_F(WinFileTest, GetFileSizeWithAndWithoutTheHighPart)
{
    HANDLE hFile = Open(Write("seven.bin", "1234567"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    DWORD dwHigh = 99;
    EXPECT_EQ(7u, GetFileSize(hFile, &dwHigh));
    EXPECT_EQ(0u, dwHigh);
    EXPECT_EQ(7u, GetFileSize(hFile, nullptr));
    CloseHandle(hFile);

    hFile = Open(Write("empty.bin", ""));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    EXPECT_EQ(0u, GetFileSize(hFile, nullptr));
    CloseHandle(hFile);

    // Past 4 GiB (sparse, so it costs no disk): the high part carries the rest; without a place
    // for it Windows returns the low part alone.
    hFile = Open(Sparse("large.bin", (1ull << 32) + 5));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    dwHigh = 0;
    EXPECT_EQ(5u, GetFileSize(hFile, &dwHigh));
    EXPECT_EQ(1u, dwHigh);
    EXPECT_EQ(5u, GetFileSize(hFile, nullptr));
    CloseHandle(hFile);

    // A low part equal to INVALID_FILE_SIZE is a size when the last error says success.
    hFile = Open(Sparse("edge.bin", 0xFFFFFFFFull));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    SetLastError(ERROR_INVALID_HANDLE);
    dwHigh = 99;
    EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(hFile, &dwHigh));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(0u, dwHigh);
    CloseHandle(hFile);

    EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(INVALID_HANDLE_VALUE, &dwHigh));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(WinFileTest, ReadFileReadsWholeRequestsThenShortCountsThenZeroAtTheEnd)
{
    HANDLE hFile = Open(Write("ten.bin", std::string("0123\0\r\n789", 10)));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    char szBuffer[16] = {};
    DWORD dwRead = 1234;

    EXPECT_EQ(TRUE, ReadFile(hFile, szBuffer, 4, &dwRead, NULL));
    EXPECT_EQ(4u, dwRead);
    EXPECT_EQ(TRUE, ReadFile(hFile, szBuffer + 4, 12, &dwRead, NULL)); // more than is left
    EXPECT_EQ(6u, dwRead);
    EXPECT_EQ(std::string("0123\0\r\n789", 10), std::string(szBuffer, 10));
    dwRead = 1234;
    EXPECT_EQ(TRUE, ReadFile(hFile, szBuffer, 8, &dwRead, NULL)); // at the end
    EXPECT_EQ(0u, dwRead);
    EXPECT_EQ(TRUE, ReadFile(hFile, szBuffer, 0, &dwRead, NULL));
    EXPECT_EQ(0u, dwRead);

    // Without a count to report into, or with an overlapped record: refused.
    EXPECT_EQ(FALSE, ReadFile(hFile, szBuffer, 1, nullptr, NULL));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(TRUE, CloseHandle(hFile));
}

TEST_F(WinFileTest, ReadFileCarriesOnOverShortReads)
{
    // A FIFO hands its bytes over in the pieces that the writer wrote; one ReadFile still
    // returns the whole request, as a synchronous read of a disk file does on Windows.
    const std::string Fifo = Path("pipe");
    ASSERT_EQ(Fifo, tarn::test::MakeFifo(Fifo));
    const std::string Bytes = "first piece|second piece|third";
    std::thread Writer(
        [&]
        {
            const int nFd = ::open(Fifo.c_str(), O_WRONLY);
            for (size_t uAt = 0; nFd >= 0 && uAt < Bytes.size(); uAt += 6)
            {
                const size_t uLen = std::min<size_t>(6, Bytes.size() - uAt);
                if (::write(nFd, Bytes.data() + uAt, uLen) != static_cast<ssize_t>(uLen))
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ::close(nFd);
        });
    HANDLE hFile = Open(Fifo);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    std::string Buffer(Bytes.size() + 10, '\0');
    DWORD dwRead = 0;
    EXPECT_EQ(TRUE, ReadFile(hFile, &Buffer[0], static_cast<DWORD>(Buffer.size()), &dwRead, NULL));
    Writer.join();
    EXPECT_EQ(Bytes.size(), dwRead);
    EXPECT_EQ(Bytes, Buffer.substr(0, dwRead));
    CloseHandle(hFile);
}

TEST_F(WinFileTest, FailedReadsReturnFalse)
{
    char szBuffer[8];
    DWORD dwRead = 1234;
    EXPECT_EQ(FALSE, ReadFile(INVALID_HANDLE_VALUE, szBuffer, 8, &dwRead, NULL));
    EXPECT_EQ(0u, dwRead);
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    // A closed handle.
    HANDLE hFile = Open(Write("closed.bin", "data"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    ASSERT_EQ(TRUE, CloseHandle(hFile));
    dwRead = 1234;
    EXPECT_EQ(FALSE, ReadFile(hFile, szBuffer, 8, &dwRead, NULL));
    EXPECT_EQ(0u, dwRead);
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    // A device error from a sysfs attribute that reports a size but fails every read (EIO).
    const char* const pszPath = "/sys/devices/software/power/autosuspend_delay_ms";
    hFile = Open(pszPath);
    if (hFile == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << pszPath << " is not there";
    dwRead = 1234;
    const BOOL bRead = ReadFile(hFile, szBuffer, 8, &dwRead, NULL);
    CloseHandle(hFile);
    if (bRead)
        GTEST_SKIP() << pszPath << " reads without failing here";
    EXPECT_EQ(0u, dwRead);
    EXPECT_EQ(ERROR_READ_FAULT, GetLastError());
}

TEST_F(WinFileTest, CloseHandleRefusesHandlesItDoesNotKnow)
{
    EXPECT_EQ(FALSE, CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(FALSE, CloseHandle(nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    HANDLE hFile = Open(Write("once.bin", "x"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    EXPECT_EQ(TRUE, CloseHandle(hFile));
    EXPECT_EQ(FALSE, CloseHandle(hFile)); // already closed
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}
