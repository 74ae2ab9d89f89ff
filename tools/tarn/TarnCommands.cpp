#include "TarnCommands.h"

#include "TarnHost.h"
#include "TarnLog.h"
#include "TarnOutput.h"
#include "TarnReport.h"
#include "TarnStdin.h"
#include "TarnUrl.h"

#include "TarnInteraction/ITarnInteraction.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn
{
namespace
{
void PrintLogHint(bool bAllOk, const Options& Opts)
{
    if (!bAllOk && !Opts.bVerbose && !Opts.bSilent && HiddenLogLines() > 0)
        std::fprintf(stderr, "tarn: %zu library log line(s) hidden; run with -v to see them\n",
                     HiddenLogLines());
}

// "" when Path is a regular file tarn may read, else why not.
std::string WhyUnreadable(const std::string& Path)
{
    struct stat Info;
    if (stat(Path.c_str(), &Info) != 0 || access(Path.c_str(), R_OK) != 0)
        return std::strerror(errno);
    return S_ISREG(Info.st_mode) ? "" : "not a regular file";
}

// Runs the host's loop with the progress line, writing each body through Output and printing
// each result line to standard error (with -s, only those of failures): result lines are
// diagnostics, and standard output carries bodies alone. ReasonOf gives the reason of a job the
// library failed. Returns the exit status: 0, or that of the first job, in URL order, that failed.
int RunJobs(Host& TheHost, BodyOutput& Output, const Options& Opts,
            const std::function<FailureReason(std::size_t)>& ReasonOf)
{
    auto IndexOf = [&](const Job& Each) { return static_cast<std::size_t>(&Each - TheHost.Jobs().data()); };
    // A job refused before it reached the library has no class of its own.
    std::vector<int> Exits(TheHost.Jobs().size(), eExitFailed);
    ProgressLine Progress(!Opts.bVerbose && !Opts.bSilent);
    TheHost.SetBodyHandler(
        [&](Job& Delivered, const unsigned char* pbyData, std::size_t uSize)
        {
            Progress.Clear(); // the body may go to the same terminal, or bring a hint there
            std::string Error;
            if (!Output.Write(IndexOf(Delivered), pbyData, uSize, Error))
            {
                Delivered.bResult = false;
                Delivered.Note = Error;
                Exits[IndexOf(Delivered)] = eExitWrite;
            }
        });
    bool bAllOk = true;
    TheHost.Run(
        [&](Job& Delivered)
        {
            const std::size_t uIndex = IndexOf(Delivered);
            if (!Delivered.bResult)
            {
                Output.Skip(uIndex);
                if (Delivered.Note.empty())
                {
                    const FailureReason Reason = ReasonOf(uIndex);
                    Delivered.Note = Reason.Text;
                    Exits[uIndex] = Reason.nExit;
                }
            }
            bAllOk = bAllOk && Delivered.bResult;
            Progress.Clear();
            if (Opts.bSilent && Delivered.bResult)
                return;
            std::fprintf(stderr, "%s%s\n", ResultLine(Delivered).c_str(),
                         Delivered.bResult ? Output.Suffix(uIndex).c_str() : "");
            std::fflush(stderr);
        },
        [&] { Progress.Update(TheHost.Jobs()); });
    Progress.Clear();
    PrintLogHint(bAllOk, Opts);
    for (std::size_t i = 0; i < TheHost.Jobs().size(); ++i)
        if (!TheHost.Jobs()[i].bResult)
            return Exits[i];
    return eExitOk;
}

// The version of the loaded library, from the name its file ends in ("libX.so.1.2.3").
std::string LibraryVersion()
{
    Dl_info Info;
    if (dladdr(reinterpret_cast<void*>(&CreateTarnInteraction), &Info) != 0 && Info.dli_fname != nullptr)
    {
        char* pszReal = realpath(Info.dli_fname, nullptr);
        const std::string Path = pszReal != nullptr ? pszReal : Info.dli_fname;
        std::free(pszReal);
        const std::size_t uSo = Path.rfind(".so.");
        if (uSo != std::string::npos)
            return Path.substr(uSo + 4) + " (" + Path + ")";
    }
    return TARN_VERSION;
}
} // namespace

std::string VersionText()
{
    return "tarn " TARN_VERSION "\nTarnInteraction " + LibraryVersion() + "\n";
}

int RunGet(const Options& Opts)
{
    if (!Opts.OutputDir.empty() && !PrepareOutputDir(Opts.OutputDir))
        return eExitWrite;
    BodyOutput Output(Opts.Outputs);

    Host TheHost;
    if (!TheHost.IsReady())
    {
        std::fprintf(stderr, "tarn: the interaction object could not be created\n");
        return eExitInit;
    }
    // One job per URL, in order, so a job's index is its URL's.
    for (std::size_t i = 0; i < Opts.Urls.size(); ++i)
        TheHost.StartGet("get" + std::to_string(i + 1), Opts.Targets[i].Address, Opts.Targets[i].Object,
                         MaskPassword(Opts.Urls[i]));
    return RunJobs(TheHost, Output, Opts,
                   [&](std::size_t uIndex)
                   { return TakeGetReason(Opts.Targets[uIndex].Address + Opts.Targets[uIndex].Object); });
}

int RunPost(const Options& Opts)
{
    // The library reads files when the request runs and sends an empty part for one it cannot
    // open; say so now instead.
    for (const FormField& Field : Opts.Fields)
    {
        const std::string Why =
            Field.bFile && !ReadsStandardInput(Field) ? WhyUnreadable(Field.Value) : std::string();
        if (!Why.empty())
        {
            std::fprintf(stderr, "tarn: cannot read file %s for form field '%s': %s\n", Field.Value.c_str(),
                         Field.Name.c_str(), Why.c_str());
            return eExitRead;
        }
    }
    StdinFolder Stdin;
    std::string Error;
    if (std::any_of(Opts.Fields.begin(), Opts.Fields.end(), ReadsStandardInput) &&
        !Stdin.Enter(Opts.Fields, Error))
    {
        std::fprintf(stderr, "tarn: %s\n", Error.c_str());
        return eExitRead;
    }

    Host TheHost;
    if (!TheHost.IsReady())
    {
        std::fprintf(stderr, "tarn: the interaction object could not be created\n");
        return eExitInit;
    }
    // The address as the library's upload line names it: an https server as written, a host name
    // with its port.
    const std::string Address = Opts.Server.rfind("https://", 0) == 0
                                    ? Opts.Server + Opts.Path
                                    : "http://" + Opts.Server + ":" + std::to_string(Opts.nPort) + Opts.Path;
    TheHost.StartPost("post", Opts.Server, Opts.Path, Opts.nPort, Opts.Fields,
                      "POST " + MaskPassword(Address));
    BodyOutput Output({OutputTarget()});
    return RunJobs(TheHost, Output, Opts, [&](std::size_t) { return TakePostReason(Address); });
}
} // namespace tarn
