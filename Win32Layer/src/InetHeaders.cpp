#include "InetHeaders.h"

#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The characters of an HTTP token (RFC 9110, section 5.6.2).
bool IsTokenChar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

std::string Trim(const std::string& Text)
{
    size_t uBegin = 0;
    size_t uEnd = Text.size();
    while (uBegin < uEnd && (Text[uBegin] == ' ' || Text[uBegin] == '\t'))
        ++uBegin;
    while (uEnd > uBegin && (Text[uEnd - 1] == ' ' || Text[uEnd - 1] == '\t'))
        --uEnd;
    return Text.substr(uBegin, uEnd - uBegin);
}
} // namespace

bool EqualsNoCase(const std::string& Left, const std::string& Right)
{
    if (Left.size() != Right.size())
        return false;
    for (size_t i = 0; i < Left.size(); ++i)
        if (LowerAscii(Left[i]) != LowerAscii(Right[i]))
            return false;
    return true;
}

std::string LowerAscii(std::string Text)
{
    for (char& c : Text)
        c = LowerAscii(c);
    return Text;
}

bool ParseDecimal(const std::string& Text, std::uint64_t& uValue)
{
    const size_t uBegin = Text.find_first_not_of(" \t");
    const size_t uEnd = Text.find_last_not_of(" \t");
    if (uBegin == std::string::npos)
        return false;
    std::uint64_t uResult = 0;
    for (size_t i = uBegin; i <= uEnd; ++i)
    {
        const char c = Text[i];
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t uDigit = static_cast<std::uint64_t>(c - '0');
        if (uResult > (UINT64_MAX - uDigit) / 10)
            return false;
        uResult = uResult * 10 + uDigit;
    }
    uValue = uResult;
    return true;
}

const HeaderLine* FindHeader(const std::vector<HeaderLine>& Lines, const std::string& Name, size_t uIndex)
{
    for (const HeaderLine& Line : Lines)
        if (EqualsNoCase(Line.Name, Name) && uIndex-- == 0)
            return &Line;
    return nullptr;
}

bool ParseHeaderLine(const std::string& Line, HeaderLine& Header)
{
    const size_t uColon = Line.find(':');
    if (uColon == std::string::npos)
        return false;
    std::string Name = Trim(Line.substr(0, uColon));
    if (Name.empty())
        return false;
    for (char c : Name)
        if (!IsTokenChar(static_cast<unsigned char>(c)))
            return false;
    Header.Name = std::move(Name);
    Header.Value = Trim(Line.substr(uColon + 1));
    return true;
}

std::vector<std::string> SplitHeaderBlock(const char* pText, DWORD dwLength)
{
    std::vector<std::string> Lines;
    if (pText == nullptr)
        return Lines;
    size_t uLength = dwLength == static_cast<DWORD>(-1) ? std::strlen(pText) : dwLength;
    // A NUL inside the given length ends the block as well.
    const void* pNul = std::memchr(pText, '\0', uLength);
    if (pNul != nullptr)
        uLength = static_cast<size_t>(static_cast<const char*>(pNul) - pText);

    size_t uStart = 0;
    while (uStart < uLength)
    {
        size_t uEnd = uStart;
        while (uEnd < uLength && pText[uEnd] != '\n')
            ++uEnd;
        size_t uLineEnd = uEnd;
        if (uLineEnd > uStart && pText[uLineEnd - 1] == '\r')
            --uLineEnd;
        std::string Line(pText + uStart, uLineEnd - uStart);
        if (!Trim(Line).empty())
            Lines.push_back(std::move(Line));
        uStart = uEnd + 1;
    }
    return Lines;
}

DWORD HeaderList::ApplyBlock(const char* pText, DWORD dwLength, DWORD dwModifiers)
{
    for (const std::string& Line : SplitHeaderBlock(pText, dwLength))
    {
        HeaderLine Header;
        if (!ParseHeaderLine(Line, Header))
            return ERROR_HTTP_INVALID_HEADER;
        const DWORD dwError = Apply(Header, dwModifiers);
        if (dwError != ERROR_SUCCESS)
            return dwError;
    }
    return ERROR_SUCCESS;
}

DWORD HeaderList::Apply(const HeaderLine& Header, DWORD dwModifiers)
{
    size_t uFirst = m_Lines.size();
    for (size_t i = 0; i < m_Lines.size(); ++i)
        if (EqualsNoCase(m_Lines[i].Name, Header.Name))
        {
            uFirst = i;
            break;
        }
    const bool bPresent = uFirst < m_Lines.size();

    if (dwModifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW)
    {
        if (bPresent)
            return ERROR_HTTP_HEADER_ALREADY_EXISTS;
        m_Lines.push_back(Header);
        return ERROR_SUCCESS;
    }
    if (dwModifiers & HTTP_ADDREQ_FLAG_REPLACE)
        return Replace(Header, uFirst, (dwModifiers & HTTP_ADDREQ_FLAG_ADD) != 0);
    if (bPresent &&
        (dwModifiers & (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)))
    {
        if (!Header.Value.empty())
        {
            std::string& Value = m_Lines[uFirst].Value;
            if (!Value.empty())
                Value += (dwModifiers & HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " : "; ";
            Value += Header.Value;
        }
        return ERROR_SUCCESS;
    }
    m_Lines.push_back(Header);
    return ERROR_SUCCESS;
}

DWORD HeaderList::Replace(const HeaderLine& Header, size_t uFirst, bool bAdd)
{
    if (uFirst == m_Lines.size())
    {
        if (!bAdd)
            return ERROR_HTTP_HEADER_NOT_FOUND;
        if (!Header.Value.empty())
            m_Lines.push_back(Header);
        return ERROR_SUCCESS;
    }
    if (Header.Value.empty())
        m_Lines.erase(m_Lines.begin() + static_cast<std::ptrdiff_t>(uFirst));
    else
        m_Lines[uFirst] = Header;
    return ERROR_SUCCESS;
}

const HeaderLine* HeaderList::Find(const std::string& Name, size_t uIndex) const
{
    return FindHeader(m_Lines, Name, uIndex);
}

void HeaderList::RemoveAll(const std::string& Name)
{
    for (size_t i = m_Lines.size(); i-- > 0;)
        if (EqualsNoCase(m_Lines[i].Name, Name))
            m_Lines.erase(m_Lines.begin() + static_cast<std::ptrdiff_t>(i));
}

void HeaderList::Add(std::string Name, std::string Value)
{
    m_Lines.push_back(HeaderLine{std::move(Name), std::move(Value)});
}

bool ResponseHead::AddLine(std::string Line)
{
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
        Line.pop_back();
    if (Line.compare(0, 5, "HTTP/") == 0)
        ParseStatusLine(Line);
    else if (Line.empty())
    {
        Raw += "\r\n";
        return true;
    }
    else if ((Line[0] == ' ' || Line[0] == '\t') && !Headers.empty())
    {
        // A folded line continues the value of the header before it, joined by one space; the
        // blanks around the continuation belong to the fold, not to the value.
        const size_t uText = Line.find_first_not_of(" \t");
        if (uText != std::string::npos)
        {
            std::string& Value = Headers.back().Value;
            if (!Value.empty())
                Value += ' ';
            Value += Line.substr(uText, Line.find_last_not_of(" \t") - uText + 1);
        }
    }
    else
    {
        HeaderLine Header;
        if (ParseHeaderLine(Line, Header))
            Headers.push_back(std::move(Header));
    }
    Raw += Line + "\r\n";
    return false;
}

void ResponseHead::ParseStatusLine(const std::string& Line)
{
    *this = ResponseHead();
    const size_t uSpace = Line.find(' ');
    Version = Line.substr(0, uSpace);
    if (uSpace == std::string::npos)
        return;
    std::uint64_t uStatus = 0;
    const size_t uTextStart = Line.find(' ', uSpace + 1);
    if (ParseDecimal(Line.substr(uSpace + 1, uTextStart - uSpace - 1), uStatus) && uStatus < 1000)
        dwStatus = static_cast<DWORD>(uStatus);
    if (uTextStart != std::string::npos)
        StatusText = Line.substr(uTextStart + 1);
}
} // namespace inet
} // namespace tarn
