#pragma once

// The command line of tarn.
#include "TarnExit.h"
#include "TarnUrl.h"

#include <string>
#include <vector>

namespace tarn
{
enum class Command
{
    Help,
    Get,
    Post,
    Demo,
    Version,
};

// Where one URL's body goes: standard output (an empty path, or "-" given with -o) or a file.
struct OutputTarget
{
    std::string Path;
    bool bForced = false;     // "-o -": standard output even when it is a terminal and the body binary
    bool bRemoteName = false; // the name came from the URL (-O)
};

struct FormField
{
    std::string Name;
    std::string Value; // the text, or the path of the file to upload ("-": standard input)
    bool bFile = false;
};

// "-F name=@-": the file is standard input.
inline bool ReadsStandardInput(const FormField& Field)
{
    return Field.bFile && Field.Value == "-";
}

struct Options
{
    Command eCommand = Command::Help;
    bool bVerbose = false;
    bool bSilent = false;          // -s: no progress line, no hints, result lines of failures only
    int nRefusalExit = eExitUsage; // when ParseCommandLine fails: 2, or 3 for a URL tarn cannot send

    // get
    std::vector<std::string> Urls;
    std::vector<UrlParts> Targets;     // one per URL, split to fit
    std::vector<OutputTarget> Outputs; // one per URL, -o and -O paired with the URLs in order
    std::string OutputDir;             // --output-dir, already joined to the relative paths

    // post
    std::string Server;
    std::string Path;
    int nPort = 80;
    std::vector<FormField> Fields;
};

// Parses argv. Returns false with a one-line message when the command line is unusable.
bool ParseCommandLine(int argc, const char* const* argv, Options& Result, std::string& Error);

std::string HelpText();
} // namespace tarn
