#include "TarnOptions.h"

#include "TarnStdin.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace tarn
{
namespace
{
bool HasHeaderBreakers(const std::string& Text)
{
    return Text.find_first_of("\r\n\"") != std::string::npos;
}

bool HasSpaceOrControl(const std::string& Text)
{
    for (unsigned char c : Text)
        if (c <= 0x20 || c == 0x7F)
            return true;
    return false;
}

bool ParsePort(const std::string& Text, int& nPort)
{
    if (Text.empty() || Text.size() > 5 || Text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int nValue = std::stoi(Text);
    if (nValue < 1 || nValue > 65535)
        return false;
    nPort = nValue;
    return true;
}

// "name=value", "name=@path" (a file) or, with bLiteral, "name=value" whose value is always text.
bool ParseField(const std::string& FieldText, bool bLiteral, FormField& Field, std::string& Error)
{
    const std::size_t uEquals = FieldText.find('=');
    if (uEquals == std::string::npos)
    {
        Error = "form field '" + FieldText + "' must read name=value or name=@file";
        return false;
    }
    Field.Name = FieldText.substr(0, uEquals);
    Field.Value = FieldText.substr(uEquals + 1);
    Field.bFile = !bLiteral && !Field.Value.empty() && Field.Value[0] == '@';
    if (Field.bFile)
        Field.Value.erase(0, 1);
    if (Field.Name.empty())
    {
        Error = "form field '" + FieldText + "' has an empty name";
        return false;
    }
    // They would end the part's header line or its quoted name early, so the library refuses them.
    if (HasHeaderBreakers(Field.Name))
    {
        Error = "form field names must not contain CR, LF or '\"'";
        return false;
    }
    if (Field.bFile && Field.Value.empty())
    {
        Error = "form field '" + Field.Name + "' names no file after '@'";
        return false;
    }
    if (Field.bFile && HasHeaderBreakers(Field.Value))
    {
        Error = "file paths must not contain CR, LF or '\"'";
        return false;
    }
    return true;
}

// Takes the value of an option given as "--opt value" or "--opt=value".
bool TakeValue(const std::vector<std::string>& Args, std::size_t& i, const std::string& Option,
               std::string& Value, std::string& Error)
{
    const std::string& Arg = Args[i];
    if (Arg.size() > Option.size() && Arg.compare(0, Option.size() + 1, Option + "=") == 0)
    {
        Value = Arg.substr(Option.size() + 1);
        return true;
    }
    if (i + 1 >= Args.size())
    {
        Error = "option " + Option + " needs a value";
        return false;
    }
    Value = Args[++i];
    return true;
}

bool IsOption(const std::string& Arg, const char* pszShort, const char* pszLong)
{
    const std::size_t uLongLen = std::strlen(pszLong);
    return Arg == pszShort || Arg == pszLong ||
           (Arg.size() > uLongLen && Arg.compare(0, uLongLen + 1, std::string(pszLong) + "=") == 0);
}

// -o and -O are paired with the URLs in order, wherever they stand, as curl pairs them; URLs
// beyond the last of them go to standard output (or, with --remote-name-all, to -O names).
bool PairOutputs(const std::vector<OutputTarget>& Given, bool bRemoteAll, const std::string& OutputDir,
                 Options& Result, std::string& Error)
{
    if (Given.size() > Result.Urls.size())
    {
        Error = std::to_string(Given.size()) + " output options (-o, -O) for " +
                std::to_string(Result.Urls.size()) + " URL(s)";
        return false;
    }
    std::set<std::string> Paths;
    for (std::size_t i = 0; i < Result.Urls.size(); ++i)
    {
        OutputTarget Target;
        if (i < Given.size())
            Target = Given[i];
        else
            Target.bRemoteName = bRemoteAll;
        if (Target.bRemoteName && !RemoteFileName(Result.Urls[i], Target.Path))
        {
            Error = "-O: the URL names no file to save to: " + MaskPassword(Result.Urls[i]);
            return false;
        }
        if (Target.Path == "-")
        {
            Target.Path.clear();
            Target.bForced = true;
        }
        if (!Target.Path.empty() && !OutputDir.empty() && Target.Path[0] != '/')
            Target.Path = OutputDir + "/" + Target.Path;
        // Bodies arrive in any order: two of them in one file would leave either.
        if (!Target.Path.empty() && !Paths.insert(Target.Path).second)
        {
            Error = "two URLs would be saved to " + Target.Path;
            return false;
        }
        Result.Outputs.push_back(Target);
    }
    return true;
}

bool ParseGet(const std::vector<std::string>& Args, Options& Result, std::string& Error)
{
    std::vector<OutputTarget> Given;
    std::string OutputDir;
    bool bRemoteAll = false;
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < Args.size(); ++i)
    {
        const std::string& Arg = Args[i];
        if (!bOptionsEnded && Arg == "--")
            bOptionsEnded = true;
        else if (!bOptionsEnded && IsOption(Arg, "-o", "--output"))
        {
            OutputTarget Target;
            if (!TakeValue(Args, i, Arg == "-o" ? "-o" : "--output", Target.Path, Error))
                return false;
            if (Target.Path.empty())
            {
                Error = "option -o needs a file name";
                return false;
            }
            Given.push_back(Target);
        }
        else if (!bOptionsEnded && (Arg == "-O" || Arg == "--remote-name"))
        {
            OutputTarget Target;
            Target.bRemoteName = true;
            Given.push_back(Target);
        }
        else if (!bOptionsEnded && Arg == "--remote-name-all")
            bRemoteAll = true;
        else if (!bOptionsEnded && IsOption(Arg, "--output-dir", "--output-dir"))
        {
            if (!TakeValue(Args, i, "--output-dir", OutputDir, Error))
                return false;
            if (OutputDir.empty())
            {
                Error = "option --output-dir needs a directory";
                return false;
            }
        }
        else if (!bOptionsEnded && Arg.size() > 1 && Arg[0] == '-')
        {
            Error = "unknown option for get: " + Arg;
            return false;
        }
        else
            Result.Urls.push_back(Arg);
    }
    if (Result.Urls.empty())
    {
        Error = "get needs at least one URL";
        return false;
    }
    for (const std::string& Url : Result.Urls)
    {
        UrlParts Parts;
        if (!SplitUrl(Url, Parts, Error))
        {
            Result.nRefusalExit = eExitBadUrl;
            return false;
        }
        Result.Targets.push_back(Parts);
    }
    Result.OutputDir = OutputDir;
    return PairOutputs(Given, bRemoteAll, OutputDir, Result, Error);
}

bool ParsePost(const std::vector<std::string>& Args, Options& Result, std::string& Error)
{
    std::vector<std::string> Positional;
    bool bOptionsEnded = false;
    bool bPortGiven = false;
    for (std::size_t i = 0; i < Args.size(); ++i)
    {
        const std::string& Arg = Args[i];
        std::string Value;
        if (!bOptionsEnded && Arg == "--")
            bOptionsEnded = true;
        else if (!bOptionsEnded && IsOption(Arg, "--port", "--port"))
        {
            bPortGiven = true;
            if (!TakeValue(Args, i, "--port", Value, Error))
                return false;
            if (!ParsePort(Value, Result.nPort))
            {
                Error = "port must be a number from 1 to 65535, not '" + Value + "'";
                return false;
            }
        }
        else if (!bOptionsEnded &&
                 (IsOption(Arg, "-F", "--form") || IsOption(Arg, "--form-string", "--form-string")))
        {
            const bool bLiteral = Arg.compare(0, 13, "--form-string") == 0;
            const std::string Option = bLiteral ? "--form-string" : (Arg == "-F" ? "-F" : "--form");
            FormField Field;
            if (!TakeValue(Args, i, Option, Value, Error) || !ParseField(Value, bLiteral, Field, Error))
                return false;
            // Standard input is read once, so only one field can have it.
            if (ReadsStandardInput(Field) &&
                std::any_of(Result.Fields.begin(), Result.Fields.end(), ReadsStandardInput))
            {
                Error = "only one form field can read standard input ('@-')";
                return false;
            }
            Result.Fields.push_back(Field);
        }
        else if (!bOptionsEnded && Arg.size() > 1 && Arg[0] == '-')
        {
            Error = "unknown option for post: " + Arg;
            return false;
        }
        else
            Positional.push_back(Arg);
    }
    // The POST runs from the folder that holds standard input (TarnStdin.h), where these paths
    // would not lead where they lead here.
    if (std::any_of(Result.Fields.begin(), Result.Fields.end(), ReadsStandardInput))
        for (const FormField& Field : Result.Fields)
        {
            const std::string First = Field.bFile ? FirstComponent(Field.Value) : std::string();
            if (!ReadsStandardInput(Field) && (First == ".." || First == "-"))
            {
                Error = "beside '@-', give file " + Field.Value + " as an absolute path";
                return false;
            }
        }
    if (Positional.size() == 1 && Positional[0].find("://") != std::string::npos)
    {
        if (bPortGiven)
        {
            Error = "post URL: give the port in the URL, not with --port";
            return false;
        }
        if (!SplitPostUrl(Positional[0], Result.Server, Result.nPort, Result.Path, Error))
        {
            Result.nRefusalExit = eExitBadUrl;
            return false;
        }
    }
    else if (Positional.size() != 2)
    {
        Error = "post needs a URL, or a HOST and a PATH";
        return false;
    }
    else
    {
        Result.Server = Positional[0];
        Result.Path = Positional[1];
    }
    const bool bSecure = Result.Server.rfind("https://", 0) == 0; // checked by SplitPostUrl
    if (!bSecure && (Result.Server.empty() || Result.Server.find('/') != std::string::npos ||
                     HasSpaceOrControl(Result.Server)))
    {
        Error = "post HOST is a host name only (for example 127.0.0.1), not '" + Result.Server + "'";
        return false;
    }
    // "host:port" (one colon; an IPv6 address has several) would be taken as a host name.
    if (!bSecure && std::count(Result.Server.begin(), Result.Server.end(), ':') == 1)
    {
        Error = "post HOST is a host name only; give the port with --port, not in '" + Result.Server + "'";
        return false;
    }
    if (Result.Server.size() > kMaxAddressChars)
    {
        Error = "post HOST too long (at most " + std::to_string(kMaxAddressChars) + " characters)";
        return false;
    }
    if (Result.Path.empty() || Result.Path[0] != '/' || HasSpaceOrControl(Result.Path))
    {
        Error = "post PATH must start with '/' and hold no spaces or control characters";
        return false;
    }
    if (Result.Path.size() > kMaxObjectChars)
    {
        Error = "post PATH too long (at most " + std::to_string(kMaxObjectChars) + " characters)";
        return false;
    }
    return true;
}
// "-oFILE" is "-o FILE", and "-vO" is "-v -O", as getopt reads them.
std::vector<std::string> SplitJoinedShortOptions(int argc, const char* const* argv)
{
    static const std::string kFlags = "vhVOs";
    static const std::string kTakesValue = "oF";
    std::vector<std::string> Args;
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string Arg = argv[i];
        bOptionsEnded = bOptionsEnded || Arg == "--";
        const bool bJoined = !bOptionsEnded && Arg.size() > 2 && Arg[0] == '-' && Arg[1] != '-' &&
                             (kFlags + kTakesValue).find(Arg[1]) != std::string::npos;
        if (!bJoined)
        {
            Args.push_back(Arg);
            continue;
        }
        for (std::size_t j = 1; j < Arg.size(); ++j)
        {
            if (kTakesValue.find(Arg[j]) != std::string::npos)
            {
                Args.push_back(std::string("-") + Arg[j]);
                if (j + 1 < Arg.size())
                    Args.push_back(Arg.substr(j + 1));
                break;
            }
            // An unknown letter keeps the rest whole, to be refused by name.
            if (kFlags.find(Arg[j]) == std::string::npos)
            {
                Args.push_back("-" + Arg.substr(j));
                break;
            }
            Args.push_back(std::string("-") + Arg[j]);
        }
    }
    return Args;
}
} // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options& Result, std::string& Error)
{
    Result = Options();
    std::vector<std::string> Args;
    bool bCommandSeen = false;
    bool bOptionsEnded = false;
    for (const std::string& Arg : SplitJoinedShortOptions(argc, argv))
    {
        // Help and verbosity are understood anywhere before "--".
        if (!bOptionsEnded)
        {
            if (Arg == "-h" || Arg == "--help" || (!bCommandSeen && Arg == "help"))
            {
                Result.eCommand = Command::Help;
                return true;
            }
            if (Arg == "-V" || Arg == "--version")
            {
                Result.eCommand = Command::Version;
                return true;
            }
            if (Arg == "-v" || Arg == "--verbose")
            {
                Result.bVerbose = true;
                continue;
            }
            if (Arg == "-s" || Arg == "--silent")
            {
                Result.bSilent = true;
                continue;
            }
        }
        bCommandSeen = bCommandSeen || Arg.empty() || Arg[0] != '-';
        bOptionsEnded = bOptionsEnded || Arg == "--";
        Args.push_back(Arg);
    }
    if (Args.empty())
    {
        Error = "no command given";
        return false;
    }
    const std::string Name = Args[0];
    const std::vector<std::string> Rest(Args.begin() + 1, Args.end());
    // "tarn URL..." is "tarn get URL...", as with curl.
    if (Name.find("://") != std::string::npos)
    {
        Result.eCommand = Command::Get;
        return ParseGet(Args, Result, Error);
    }
    if (Name == "get")
    {
        Result.eCommand = Command::Get;
        return ParseGet(Rest, Result, Error);
    }
    if (Name == "post")
    {
        Result.eCommand = Command::Post;
        return ParsePost(Rest, Result, Error);
    }
    if (Name == "demo")
    {
        Result.eCommand = Command::Demo;
        if (!Rest.empty())
        {
            Error = "demo takes no arguments";
            return false;
        }
        return true;
    }
    Error = !Name.empty() && Name[0] == '-' ? "unknown option: " + Name : "unknown command: " + Name;
    return false;
}

std::string HelpText()
{
    return "usage: tarn [-v|-s] [get] [-o FILE | -O]... [--output-dir DIR] [--remote-name-all] URL...\n"
           "       tarn [-v|-s] post (URL | HOST PATH [--port N]) [-F name=value] [-F name=@file] "
           "[--form-string name=value]...\n"
           "       tarn [-v] demo\n"
           "       tarn --help | --version\n"
           "\n"
           "Runs HTTP requests in the background through TarnInteraction, as a host engine would.\n"
           "Standard output carries response bodies (and what --help, --version and demo print);\n"
           "everything else, result lines included, goes to standard error.\n"
           "\n"
           "  get URL...     GETs every URL at once (http:// or https://); 'get' may be left out when\n"
           "                 the first argument is a URL. Each result is one line: tag, ok or failed,\n"
           "                 bytes, seconds, URL (any password shown as ***), and for a failure its\n"
           "                 reason: an HTTP status (only 200 counts as success) or a transport error\n"
           "                 in words with its WinINet code.\n"
           "                 -o FILE saves one URL's body to FILE and -O saves it under the last\n"
           "                 segment of the URL's path; as with curl, the n-th -o or -O goes with the\n"
           "                 n-th URL. --remote-name-all gives -O to every URL left without one, and\n"
           "                 --output-dir DIR puts relative names in DIR (created when missing).\n"
           "                 Other bodies go to standard output in the order of their URLs; '-o -'\n"
           "                 sends a binary body to a terminal, which is refused otherwise.\n"
           "  post URL       POSTs a multipart form to http://HOST[:PORT]/PATH or, over TLS with the\n"
           "  post HOST PATH certificate checked as for get, https://HOST[:PORT]/PATH (no user or\n"
           "                 password; HOST PATH is plain HTTP, port 80 unless --port is given) and\n"
           "                 prints the response body. -F name=value adds a text field, -F name=@file\n"
           "                 a file upload, --form-string name=value a text field even when it starts\n"
           "                 with '@'. A file's path is\n"
           "                 sent as its filename as given, folders included (curl sends the last\n"
           "                 component alone); to send just the name, run tarn from the file's\n"
           "                 folder. -F name=@- sends standard input, with the filename '-' as curl\n"
           "                 does; one field at most may read it, and other files' paths must not\n"
           "                 then start with '..'. Names (and file paths) must not contain CR, LF or\n"
           "                 '\"'. A failure names its reason as for get, and also a field or file\n"
           "                 that holds the form's boundary line.\n"
           "  demo           Starts a loopback demo server, runs a batch of GETs (one slow) and a POST\n"
           "                 of text fields and a generated file, then checks every result.\n"
           "\n"
           "  -v, --verbose  show the library's log lines on standard error (hidden otherwise)\n"
           "  -s, --silent   print bodies and failures only: no progress line, no result line for a\n"
           "                 request that succeeded, no hints\n"
           "  -V, --version  show tarn's version and the library's\n"
           "  -h, --help     show this help\n"
           "Short options may be joined (-oFILE, -sO). While standard error is a terminal, a progress\n"
           "line shows requests done and in flight and the time taken; the library tells nothing of\n"
           "a request until it is delivered whole, so the line shows no bytes.\n"
           "\n"
           "Exit status, curl's number where curl has the class; with several URLs, that of the\n"
           "first URL on the command line that failed:\n"
           "   0  every request succeeded (demo: every result was as it should be)\n"
           "   1  another failure: the library refused the request, a form held its boundary, ...\n"
           "   2  the command line cannot be used, or the library could not be started\n"
           "   3  a URL tarn cannot send: malformed, not http:// or https://, too long\n"
           "   6  host name not resolved\n"
           "   7  no connection: refused, unreachable, or the connect timed out\n"
           "   8  the reply is not HTTP, or its framing contradicts itself\n"
           "  22  the server answered with a status other than 200 (no -f needed: the library\n"
           "      delivers no body for one, so there is nothing to show)\n"
           "  23  a body could not be written (-o FILE, --output-dir, standard output, a terminal)\n"
           "  26  a file to upload, or standard input for @-, could not be read\n"
           "  27  out of memory\n"
           "  28  timed out: the server went silent for longer than the library waits\n"
           "  35  TLS handshake failed\n"
           "  47  too many redirects\n"
           "  56  the connection was closed or reset before the whole answer came (no reply at\n"
           "      all, and a failed send, are reported alike)\n"
           "  60  the server's certificate was not accepted\n"
           "  63  the response is larger than 4 GiB\n"
           "  77  the CA file or directory named for https:// could not be read\n";
}
} // namespace tarn
