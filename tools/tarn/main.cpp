// tarn: a command-line host of TarnInteraction.
#include "TarnCommands.h"
#include "TarnLog.h"
#include "TarnOptions.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    tarn::Options Opts;
    std::string Error;
    if (!tarn::ParseCommandLine(argc, argv, Opts, Error))
    {
        std::fprintf(stderr, "tarn: %s\nTry 'tarn --help' for more information.\n", Error.c_str());
        return tarn::eExitUsage;
    }
    tarn::RouteLibraryLog(Opts.bVerbose);
    switch (Opts.eCommand)
    {
    case tarn::Command::Help:
        std::fputs(tarn::HelpText().c_str(), stdout);
        return tarn::eExitOk;
    case tarn::Command::Version:
        std::fputs(tarn::VersionText().c_str(), stdout);
        return tarn::eExitOk;
    case tarn::Command::Get:
        return tarn::RunGet(Opts);
    case tarn::Command::Post:
        return tarn::RunPost(Opts);
    case tarn::Command::Demo:
        return tarn::RunDemo(Opts);
    }
    return tarn::eExitUsage;
}
