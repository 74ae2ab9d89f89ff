#pragma once

// Request and response header lists of the WinINet layer, and the rules of HttpAddRequestHeadersA.
#include "Win32Layer/WinInet.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn
{
namespace inet
{
struct HeaderLine
{
    std::string Name;
    std::string Value;
};

// Compares two header names (or any ASCII texts) without regard to case.
bool EqualsNoCase(const std::string& Left, const std::string& Right);

// The text with its ASCII letters in lower case.
std::string LowerAscii(std::string Text);

// A decimal number, blanks around it allowed. False for anything else and for a value beyond 64 bits.
bool ParseDecimal(const std::string& Text, std::uint64_t& uValue);

// The uIndex-th header of that name in Lines (0 is the first), or null.
const HeaderLine* FindHeader(const std::vector<HeaderLine>& Lines, const std::string& Name, size_t uIndex);

// Splits "Name: value" into its trimmed parts. False when the line is no header line: no colon, an
// empty name, or a name with characters that HTTP does not allow in one.
bool ParseHeaderLine(const std::string& Line, HeaderLine& Header);

// The header block as WinINet takes it: dwLength bytes of pText, or up to its NUL when dwLength is
// (DWORD)-1; lines end with CRLF (a lone LF is taken too) and blank lines are skipped.
std::vector<std::string> SplitHeaderBlock(const char* pText, DWORD dwLength);

// An ordered list of headers in which names compare without regard to case.
class HeaderList
{
public:
    // Applies each line of a header block with HttpAddRequestHeadersA's modifiers, in order. Stops
    // at the first line that fails and returns its error (the lines before it stay applied).
    DWORD ApplyBlock(const char* pText, DWORD dwLength, DWORD dwModifiers);

    // One header with the modifiers:
    //   ADD_IF_NEW       adds it; ERROR_HTTP_HEADER_ALREADY_EXISTS when one of that name is there
    //   REPLACE          replaces the value of the first one of that name, or removes it when the
    //                    new value is empty; ERROR_HTTP_HEADER_NOT_FOUND when there is none
    //   ADD | REPLACE    as REPLACE, but adds the header when there is none
    //   COALESCE_WITH_*  appends the value to the first one of that name (", " or "; "), or adds
    //   ADD, or none     adds it, after any others of the same name
    DWORD Apply(const HeaderLine& Header, DWORD dwModifiers);

    // The nIndex-th header of that name (0 is the first), or null.
    const HeaderLine* Find(const std::string& Name, size_t uIndex = 0) const;
    bool Has(const std::string& Name) const { return Find(Name) != nullptr; }
    void RemoveAll(const std::string& Name);
    void Add(std::string Name, std::string Value);
    void Clear() { m_Lines.clear(); }

    const std::vector<HeaderLine>& Lines() const { return m_Lines; }

private:
    // REPLACE on the header at uFirst (m_Lines.size() when there is none); bAdd with ADD as well.
    DWORD Replace(const HeaderLine& Header, size_t uFirst, bool bAdd);

    std::vector<HeaderLine> m_Lines;
};

// A response head, built from the lines libcurl hands over one at a time.
struct ResponseHead
{
    std::string Version; // "HTTP/1.1"
    DWORD dwStatus = 0;
    std::string StatusText;
    std::vector<HeaderLine> Headers;
    std::string Raw; // the head as received, CRLF line ends, blank line included

    // Takes one line, with or without its line end: a status line starts the head afresh, a
    // folded line continues the header before it. True for the blank line that ends the head.
    bool AddLine(std::string Line);

    const HeaderLine* Find(const std::string& Name, size_t uIndex = 0) const
    {
        return FindHeader(Headers, Name, uIndex);
    }

private:
    void ParseStatusLine(const std::string& Line);
};
} // namespace inet
} // namespace tarn
