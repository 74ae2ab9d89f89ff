#include "TarnCommands.h"

#include "TarnHost.h"
#include "TarnLog.h"
#include "TarnReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn
{
namespace
{
bool WriteAll(int nFile, const std::string& Bytes)
{
    std::size_t uDone = 0;
    while (uDone < Bytes.size())
    {
        const ssize_t nWritten = write(nFile, Bytes.data() + uDone, Bytes.size() - uDone);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        uDone += static_cast<std::size_t>(nWritten);
    }
    return true;
}

// Writes Bytes to Dir/Name. The name holds no '/' and does not start with '.', and a link
// already in its place is not followed.
bool WriteBodyFile(const std::string& Path, const std::string& Bytes, std::string& Error)
{
    const int nFile = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (nFile < 0)
    {
        Error = "cannot write " + Path + ": " + std::strerror(errno);
        return false;
    }
    const bool bWritten = WriteAll(nFile, Bytes);
    const bool bClosed = close(nFile) == 0;
    if (!bWritten || !bClosed)
    {
        Error = "cannot write " + Path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PrepareOutputDir(const std::string& Dir)
{
    struct stat Info;
    if (stat(Dir.c_str(), &Info) == 0)
    {
        if (S_ISDIR(Info.st_mode))
            return true;
        std::fprintf(stderr, "tarn: %s exists and is not a directory\n", Dir.c_str());
        return false;
    }
    if (mkdir(Dir.c_str(), 0755) != 0)
    {
        std::fprintf(stderr, "tarn: cannot create directory %s: %s\n", Dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void PrintLogHint(bool bAllOk, bool bVerbose)
{
    if (!bAllOk && !bVerbose && HiddenLogLines() > 0)
        std::fprintf(stderr, "tarn: %zu library log line(s) hidden; run with -v to see them\n",
                     HiddenLogLines());
}

bool FileIsReadable(const std::string& Path)
{
    struct stat Info;
    return stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) && access(Path.c_str(), R_OK) == 0;
}
} // namespace

int RunGet(const Options& Opts)
{
    const bool bToFiles = !Opts.OutputDir.empty();
    if (bToFiles && !PrepareOutputDir(Opts.OutputDir))
        return eExitUsage;
    const std::vector<std::string> FileNames = UniqueFileNames(Opts.Urls);
    // Bodies on standard output leave the result lines to standard error.
    std::FILE* pReport = bToFiles ? stdout : stderr;

    Host TheHost;
    if (!TheHost.IsReady())
    {
        std::fprintf(stderr, "tarn: the interaction object could not be created\n");
        return eExitFailed;
    }
    // One job per URL, in order, so a job's index is its URL's.
    for (std::size_t i = 0; i < Opts.Urls.size(); ++i)
        TheHost.StartGet("get" + std::to_string(i + 1), Opts.Targets[i].Address, Opts.Targets[i].Object,
                         Opts.Urls[i]);

    bool bAllOk = true;
    TheHost.Run(
        [&](Job& Delivered)
        {
            const std::size_t uUrl = static_cast<std::size_t>(&Delivered - TheHost.Jobs().data());
            std::string Suffix;
            if (Delivered.bResult && bToFiles)
            {
                const std::string Path = Opts.OutputDir + "/" + FileNames[uUrl];
                std::string Error;
                if (WriteBodyFile(Path, Delivered.Body, Error))
                    Suffix = " -> " + Path;
                else
                {
                    Delivered.bResult = false;
                    Delivered.Note = Error;
                }
            }
            else if (Delivered.bResult)
            {
                std::fwrite(Delivered.Body.data(), 1, Delivered.Body.size(), stdout);
                std::fflush(stdout);
            }
            bAllOk = bAllOk && Delivered.bResult;
            std::fprintf(pReport, "%s%s\n", ResultLine(Delivered).c_str(), Suffix.c_str());
            std::fflush(pReport);
            Delivered.Body = std::string(); // written: let it go
        },
        nullptr);
    PrintLogHint(bAllOk, Opts.bVerbose);
    return bAllOk ? eExitOk : eExitFailed;
}

int RunPost(const Options& Opts)
{
    // The library reads files when the request runs and sends an empty part for one it cannot
    // open; say so now instead.
    for (const FormField& Field : Opts.Fields)
    {
        if (Field.bFile && !FileIsReadable(Field.Value))
        {
            std::fprintf(stderr, "tarn: cannot read file %s for form field '%s'\n", Field.Value.c_str(),
                         Field.Name.c_str());
            return eExitUsage;
        }
    }

    Host TheHost;
    if (!TheHost.IsReady())
    {
        std::fprintf(stderr, "tarn: the interaction object could not be created\n");
        return eExitFailed;
    }
    const std::string Label = "POST http://" + Opts.Server + ":" + std::to_string(Opts.nPort) + Opts.Path;
    TheHost.StartPost("post", Opts.Server, Opts.Path, Opts.nPort, Opts.Fields, Label);

    bool bOk = false;
    TheHost.Run(
        [&](Job& Delivered)
        {
            bOk = Delivered.bResult;
            std::fwrite(Delivered.Body.data(), 1, Delivered.Body.size(), stdout);
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", ResultLine(Delivered).c_str());
        },
        nullptr);
    PrintLogHint(bOk, Opts.bVerbose);
    return bOk ? eExitOk : eExitFailed;
}
} // namespace tarn
