#include "TarnOptions.h"

#include <algorithm>
#include <cstring>

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

bool ParseGet(const std::vector<std::string>& Args, Options& Result, std::string& Error)
{
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < Args.size(); ++i)
    {
        const std::string& Arg = Args[i];
        if (!bOptionsEnded && Arg == "--")
            bOptionsEnded = true;
        else if (!bOptionsEnded && IsOption(Arg, "-o", "--output"))
        {
            if (!TakeValue(Args, i, Arg == "-o" ? "-o" : "--output", Result.OutputDir, Error))
                return false;
            if (Result.OutputDir.empty())
            {
                Error = "option -o needs a directory";
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
            return false;
        Result.Targets.push_back(Parts);
    }
    return true;
}

bool ParsePost(const std::vector<std::string>& Args, Options& Result, std::string& Error)
{
    std::vector<std::string> Positional;
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < Args.size(); ++i)
    {
        const std::string& Arg = Args[i];
        std::string Value;
        if (!bOptionsEnded && Arg == "--")
            bOptionsEnded = true;
        else if (!bOptionsEnded && IsOption(Arg, "--port", "--port"))
        {
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
    if (Positional.size() != 2)
    {
        Error = "post needs a HOST and a PATH";
        return false;
    }
    Result.Server = Positional[0];
    Result.Path = Positional[1];
    if (Result.Server.empty() || Result.Server.find('/') != std::string::npos ||
        HasSpaceOrControl(Result.Server))
    {
        Error = "post HOST is a host name only (for example 127.0.0.1), not '" + Result.Server + "'";
        return false;
    }
    // "host:port" (one colon; an IPv6 address has several) would be taken as a host name.
    if (std::count(Result.Server.begin(), Result.Server.end(), ':') == 1)
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
} // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options& Result, std::string& Error)
{
    Result = Options();
    std::vector<std::string> Args;
    bool bCommandSeen = false;
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string Arg = argv[i];
        // Help and verbosity are understood anywhere before "--".
        if (!bOptionsEnded)
        {
            if (Arg == "-h" || Arg == "--help" || (!bCommandSeen && Arg == "help"))
            {
                Result.eCommand = Command::Help;
                return true;
            }
            if (Arg == "-v" || Arg == "--verbose")
            {
                Result.bVerbose = true;
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
    return "usage: tarn [-v] get [-o DIR] URL...\n"
           "       tarn [-v] post HOST PATH [--port N] [-F name=value] [-F name=@file] "
           "[--form-string name=value]...\n"
           "       tarn [-v] demo\n"
           "       tarn --help\n"
           "\n"
           "Runs HTTP requests in the background through TarnInteraction, as a host engine would.\n"
           "\n"
           "  get URL...     GETs every URL at once (http:// or https://). Each result is one line:\n"
           "                 tag, ok or failed, bytes, seconds, URL. Bodies go to standard output and\n"
           "                 the result lines to standard error; with -o DIR each body goes to a file in\n"
           "                 DIR named after the URL's path, and the result lines to standard output.\n"
           "  post HOST PATH POSTs a multipart form to http://HOST:N/PATH (port 80 unless --port) and\n"
           "                 prints the response body. -F name=value adds a text field, -F name=@file a\n"
           "                 file upload, --form-string name=value a text field even when it starts\n"
           "                 with '@'. Names (and file paths) must not contain CR, LF or '\"'.\n"
           "  demo           Starts a loopback demo server, runs a batch of GETs (one slow) and a POST\n"
           "                 of text fields and a generated file, then checks every result.\n"
           "\n"
           "  -v, --verbose  show the library's log lines on standard error (hidden otherwise)\n"
           "  -h, --help     show this help\n"
           "\n"
           "Exit status: 0 when every request succeeded (demo: every result was as it should be),\n"
           "1 when a request failed or could not be made, 2 when the command line cannot be used.\n";
}
} // namespace tarn
