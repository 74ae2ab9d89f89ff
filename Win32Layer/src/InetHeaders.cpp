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
    {
        if (!bPresent)
        {
            if (!(dwModifiers & HTTP_ADDREQ_FLAG_ADD))
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
    if (dwModifiers & (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))
    {
        if (!bPresent)
            m_Lines.push_back(Header);
        else if (!Header.Value.empty())
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

const HeaderLine* HeaderList::Find(const std::string& Name, size_t uIndex) const
{
    for (const HeaderLine& Line : m_Lines)
        if (EqualsNoCase(Line.Name, Name) && uIndex-- == 0)
            return &Line;
    return nullptr;
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
} // namespace inet
} // namespace tarn
