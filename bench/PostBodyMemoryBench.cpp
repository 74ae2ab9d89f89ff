// Multipart body figures: the peak resident memory and the time of NW_HttpClient::GetPostBuffer
// for a body that carries one large file, next to a plain read of the same file into one block.
// The body should hold the file's bytes once, so the peak should exceed the resident size before
// the build by little more than the file itself.
//
// Usage: PostBodyMemoryBench [file-MiB=256]
//
// It also times the build over two kinds of file bytes that make the delimiter scan work hardest
// (nothing but hyphens; lines that miss a delimiter only in their last digit), to show what that
// scan costs next to the read.
#include "BenchSupport.h"
#include "NW_HttpClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
const double MIB = 1024.0 * 1024.0;

// Writes uSize bytes, produced 1 MiB at a time by Fill(offset, chunk), to a new temporary file.
std::string MakeFile(size_t uSize, const std::function<void(size_t, std::string&)>& Fill)
{
    char szPath[] = "/tmp/PostBodyMemoryBench.XXXXXX";
    const int nFd = ::mkstemp(szPath);
    if (nFd < 0)
    {
        std::perror("mkstemp");
        std::exit(1);
    }
    std::string Chunk;
    for (size_t uOffset = 0; uOffset < uSize;)
    {
        Chunk.assign(std::min<size_t>(1 << 20, uSize - uOffset), '\0');
        Fill(uOffset, Chunk);
        if (::write(nFd, Chunk.data(), Chunk.size()) != static_cast<ssize_t>(Chunk.size()))
        {
            std::perror("write");
            std::exit(1);
        }
        uOffset += Chunk.size();
    }
    ::close(nFd);
    return szPath;
}

double MillisecondsSince(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
}

struct BuildFigures
{
    bool bBuilt = false;
    DWORD dwBodySize = 0;
    double dMilliseconds = 0;
};

BuildFigures BuildBody(const std::string& Path)
{
    BuildFigures Figures;
    NW_HttpClient Client;
    Client.AddPostParam(eNormal, "note", "one large file");
    Client.AddPostParam(eBinaryFile, "file", Path.c_str());
    unsigned char* pbyBody = nullptr;
    const auto Start = std::chrono::steady_clock::now();
    Figures.bBuilt = Client.GetPostBuffer(&pbyBody, &Figures.dwBodySize) == 1;
    Figures.dMilliseconds = MillisecondsSince(Start);
    NW_BodyFree(pbyBody);
    return Figures;
}

// The same file read with one ReadFile into one new block: the floor for any builder.
double ReadAloneMilliseconds(const std::string& Path, size_t uSize)
{
    const auto Start = std::chrono::steady_clock::now();
    HANDLE hFile = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, NULL);
    unsigned char* pbyBlock = new (std::nothrow) unsigned char[uSize];
    DWORD dwRead = 0;
    if (hFile != INVALID_HANDLE_VALUE && pbyBlock != nullptr)
        ReadFile(hFile, pbyBlock, static_cast<DWORD>(uSize), &dwRead, NULL);
    const double dMilliseconds = MillisecondsSince(Start);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    delete[] pbyBlock;
    if (dwRead != uSize)
        std::fprintf(stderr, "read alone: %u of %zu bytes\n", dwRead, uSize);
    return dMilliseconds;
}

// Best of three, so that a cold page cache or a first fault does not decide the figure.
template <typename Function> double BestOfThree(Function Run)
{
    double dBest = Run();
    for (int i = 0; i < 2; ++i)
        dBest = std::min(dBest, Run());
    return dBest;
}
} // namespace

int main(int nArgc, char** ppszArgv)
{
    const long nMiB = nArgc > 1 ? std::atol(ppszArgv[1]) : 256;
    if (nMiB <= 0 || nMiB > 2000)
    {
        std::fprintf(stderr, "usage: %s [file-MiB=256] (1 to 2000)\n", ppszArgv[0]);
        return 2;
    }
    const size_t uSize = static_cast<size_t>(nMiB) << 20;

    // Pattern bytes without a single CR or LF, so no delimiter can start a line in them.
    const std::string Path = MakeFile(uSize,
                                      [](size_t uOffset, std::string& Chunk)
                                      {
                                          for (size_t i = 0; i < Chunk.size(); ++i)
                                              Chunk[i] = static_cast<char>('A' + (uOffset + i) % 23);
                                      });

    // Memory: one build, its peak against the resident size just before it.
    const bool bReset = ResetPeakRss();
    const long nRssBeforeKb = ReadStatusKb("VmRSS");
    const long nHwmBeforeKb = ReadStatusKb("VmHWM");
    const BuildFigures Memory = BuildBody(Path);
    const long nHwmAfterKb = ReadStatusKb("VmHWM");
    if (!Memory.bBuilt)
    {
        std::fprintf(stderr, "GetPostBuffer failed\n");
        ::unlink(Path.c_str());
        return 1;
    }
    const long nBaseKb = bReset ? nRssBeforeKb : nHwmBeforeKb;
    const double dPeakAboveBase = (nHwmAfterKb - nBaseKb) / 1024.0;

    std::printf("file                     %10.1f MiB (%zu bytes)\n", uSize / MIB, uSize);
    std::printf("body                     %10.1f MiB (%u bytes)\n", Memory.dwBodySize / MIB,
                Memory.dwBodySize);
    std::printf("resident before build    %10.1f MiB%s\n", nBaseKb / 1024.0,
                bReset ? "" : " (peak so far: clear_refs refused)");
    std::printf("peak resident (VmHWM)    %10.1f MiB\n", nHwmAfterKb / 1024.0);
    std::printf("peak above before-build  %10.1f MiB\n", dPeakAboveBase);
    std::printf("overhead beyond the file %10.1f MiB (%.3f x file size at the peak)\n",
                dPeakAboveBase - uSize / MIB, dPeakAboveBase / (uSize / MIB));
    std::printf("first build              %10.1f ms\n", Memory.dMilliseconds);

    // Time: warm page cache, best of three.
    const double dBuild = BestOfThree([&] { return BuildBody(Path).dMilliseconds; });
    const double dRead = BestOfThree([&] { return ReadAloneMilliseconds(Path, uSize); });
    std::printf("build (best of 3)        %10.1f ms, %.0f MiB/s\n", dBuild, uSize / MIB / (dBuild / 1000));
    std::printf("read alone (best of 3)   %10.1f ms, %.0f MiB/s\n", dRead, uSize / MIB / (dRead / 1000));
    ::unlink(Path.c_str());

    // The delimiter scan at its hardest.
    const std::string Near = "\r\n--" NW_POST_BOUNDARY;
    const std::string NearMiss = Near.substr(0, Near.size() - 1) + "x";
    const struct
    {
        const char* pszName;
        std::function<void(size_t, std::string&)> Fill;
    } Hard[] = {
        {"all hyphens", [](size_t, std::string& Chunk) { Chunk.assign(Chunk.size(), '-'); }},
        {"near-miss lines",
         [&NearMiss](size_t uOffset, std::string& Chunk)
         {
             for (size_t i = 0; i < Chunk.size(); ++i)
                 Chunk[i] = NearMiss[(uOffset + i) % NearMiss.size()];
         }},
    };
    for (const auto& Case : Hard)
    {
        const std::string HardPath = MakeFile(uSize, Case.Fill);
        const double dHardBuild = BestOfThree([&] { return BuildBody(HardPath).dMilliseconds; });
        const double dHardRead = BestOfThree([&] { return ReadAloneMilliseconds(HardPath, uSize); });
        std::printf("%-16s build %8.1f ms, read alone %8.1f ms, difference %+8.1f ms\n", Case.pszName,
                    dHardBuild, dHardRead, dHardBuild - dHardRead);
        ::unlink(HardPath.c_str());
    }
    return 0;
}
