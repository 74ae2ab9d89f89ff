// tarn: a command-line host of TarnInteraction.
#include "TarnCommands.h"
#include "TarnLog.h"
#include "TarnOptions.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    tarn::Options Opts;
    std::string Error;
    if (!tarn::ParseCommandLine(argc, argv, Opts, Error))
    {
        std::fprintf(stderr, "tarn: %s\nTry 'tarn --help' for more information.\n", Error.c_str());
        return Opts.nRefusalExit;
    }
    // A closed pipe is a failed write (exit 23), not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    tarn::RouteLibraryLog(Opts.bVerbose);
    int nExit = tarn::eExitUsage;
    switch (Opts.eCommand)
    {
    case tarn::Command::Help:
        std::fputs(tarn::HelpText().c_str(), stdout);
        nExit = tarn::eExitOk;
        break;
    case tarn::Command::Version:
        std::fputs(tarn::VersionText().c_str(), stdout);
        nExit = tarn::eExitOk;
        break;
    case tarn::Command::Get:
        nExit = tarn::RunGet(Opts);
        break;
    case tarn::Command::Post:
        nExit = tarn::RunPost(Opts);
        break;
    case tarn::Command::Demo:
        nExit = tarn::RunDemo(Opts);
        break;
    }
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && nExit == tarn::eExitOk)
        nExit = tarn::eExitWrite;
    return nExit;
}
