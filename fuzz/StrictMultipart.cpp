#include "StrictMultipart.h"

#include <cstring>

namespace tarn
{
namespace fuzz
{
namespace
{
bool EqualsNoCase(const std::string& Left, const char* cszRight)
{
    if (Left.size() != std::strlen(cszRight))
        return false;
    for (size_t i = 0; i < Left.size(); ++i)
    {
        char c = Left[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        char d = cszRight[i];
        if (d >= 'A' && d <= 'Z')
            d = static_cast<char>(d - 'A' + 'a');
        if (c != d)
            return false;
    }
    return true;
}

bool IsTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

void SkipBlanks(const std::string& Text, size_t& uPos)
{
    while (uPos < Text.size() && (Text[uPos] == ' ' || Text[uPos] == '\t'))
        ++uPos;
}

// "form-data" followed by "; name=..." parameters, each value a token or a quoted string.
bool ParseDisposition(const std::string& Value, StrictPart& Part)
{
    size_t uPos = 0;
    while (uPos < Value.size() && IsTokenChar(Value[uPos]))
        ++uPos;
    if (!EqualsNoCase(Value.substr(0, uPos), "form-data"))
        return false;
    bool bHasName = false;
    for (;;)
    {
        SkipBlanks(Value, uPos);
        if (uPos == Value.size())
            break;
        if (Value[uPos++] != ';')
            return false;
        SkipBlanks(Value, uPos);
        const size_t uNameStart = uPos;
        while (uPos < Value.size() && IsTokenChar(Value[uPos]))
            ++uPos;
        const std::string Param = Value.substr(uNameStart, uPos - uNameStart);
        if (Param.empty() || uPos == Value.size() || Value[uPos++] != '=')
            return false;
        std::string Text;
        if (uPos < Value.size() && Value[uPos] == '"')
        {
            const size_t uClose = Value.find('"', uPos + 1);
            if (uClose == std::string::npos)
                return false;
            Text = Value.substr(uPos + 1, uClose - uPos - 1);
            uPos = uClose + 1;
        }
        else
        {
            const size_t uStart = uPos;
            while (uPos < Value.size() && IsTokenChar(Value[uPos]))
                ++uPos;
            Text = Value.substr(uStart, uPos - uStart);
            if (Text.empty())
                return false;
        }
        if (EqualsNoCase(Param, "name") && !bHasName)
        {
            Part.Name = Text;
            bHasName = true;
        }
        else if (EqualsNoCase(Param, "filename") && !Part.bHasFileName)
        {
            Part.FileName = Text;
            Part.bHasFileName = true;
        }
        else
            return false;
    }
    return bHasName;
}

// The part's header lines, up to and including the blank line; uPos is left after it.
bool ParsePartHead(const std::string& Body, size_t& uPos, StrictPart& Part)
{
    bool bHasDisposition = false;
    for (;;)
    {
        const size_t uEnd = Body.find("\r\n", uPos);
        if (uEnd == std::string::npos)
            return false;
        const std::string Line = Body.substr(uPos, uEnd - uPos);
        uPos = uEnd + 2;
        if (Line.empty())
            return bHasDisposition;
        if (Line.find_first_of("\r\n") != std::string::npos)
            return false; // a bare CR or LF inside a header line
        const size_t uColon = Line.find(':');
        if (uColon == std::string::npos || uColon == 0)
            return false;
        const std::string Name = Line.substr(0, uColon);
        for (char c : Name)
            if (!IsTokenChar(c))
                return false;
        size_t uValue = uColon + 1;
        SkipBlanks(Line, uValue);
        size_t uValueEnd = Line.size();
        while (uValueEnd > uValue && (Line[uValueEnd - 1] == ' ' || Line[uValueEnd - 1] == '\t'))
            --uValueEnd;
        const std::string Value = Line.substr(uValue, uValueEnd - uValue);
        if (EqualsNoCase(Name, "Content-Disposition") && !bHasDisposition)
        {
            if (!ParseDisposition(Value, Part))
                return false;
            bHasDisposition = true;
        }
        else if (EqualsNoCase(Name, "Content-Type") && !Part.bHasContentType)
        {
            Part.ContentType = Value;
            Part.bHasContentType = true;
        }
        else
            return false;
    }
}
} // namespace

bool ParseStrictMultipart(const std::string& Body, const std::string& Boundary,
                          std::vector<StrictPart>& Parts)
{
    const std::string DashBoundary = "--" + Boundary;
    const std::string Delimiter = "\r\n" + DashBoundary;
    Parts.clear();
    if (Body.compare(0, DashBoundary.size(), DashBoundary) != 0)
        return false;
    size_t uPos = DashBoundary.size();
    for (;;)
    {
        if (Body.compare(uPos, 2, "--") == 0)
            return Body.size() == uPos + 4 && Body.compare(uPos + 2, 2, "\r\n") == 0;
        if (Body.compare(uPos, 2, "\r\n") != 0)
            return false;
        uPos += 2;
        StrictPart Part;
        if (!ParsePartHead(Body, uPos, Part))
            return false;
        const size_t uEnd = Body.find(Delimiter, uPos);
        if (uEnd == std::string::npos)
            return false;
        Part.Content = Body.substr(uPos, uEnd - uPos);
        Parts.push_back(std::move(Part));
        uPos = uEnd + Delimiter.size();
    }
}
} // namespace fuzz
} // namespace tarn
