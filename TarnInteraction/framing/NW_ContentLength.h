#pragma once

// The Content-Length rule, the one both back ends apply: the library to what Windows' WinINet hands
// it (which reads an unparsable length as absent or by its leading digits), and the Linux layer to
// the head it parses. Header-only, so that the layer uses it without the library's sources, which it
// does not build, and the library without the layer, which Windows does not build.
#include <cstddef>
#include <cstdint>

// The lengths of a response's Content-Length fields, taken in turn.
struct NW_CONTENT_LENGTH
{
    bool bSeen;              // a field has been taken
    std::uint64_t ullLength; // the length every field taken so far gives
};

// Takes one field's value (uValueSize bytes): a comma-separated list of plain decimal numbers of at
// most 64 bits, blanks around each allowed, all equal to each other and to the fields before (a list
// repeats the one length). False for anything else: the body's length is then unknown, and such a
// response is an error rather than a body of a guessed length.
inline bool NW_TakeContentLength(NW_CONTENT_LENGTH* pLength, const char* pchValue, size_t uValueSize)
{
    const char* p = pchValue;
    const char* const pEnd = pchValue + uValueSize;
    while (true)
    {
        std::uint64_t ullValue = 0;
        const char* pDigits = nullptr;
        while (p != pEnd && (*p == ' ' || *p == '\t'))
            ++p;
        for (pDigits = p; p != pEnd && *p >= '0' && *p <= '9'; ++p)
        {
            const std::uint64_t ullDigit = static_cast<std::uint64_t>(*p - '0');
            if (ullValue > (UINT64_MAX - ullDigit) / 10)
                return false;
            ullValue = ullValue * 10 + ullDigit;
        }
        if (p == pDigits || (pLength->bSeen && ullValue != pLength->ullLength))
            return false;
        pLength->ullLength = ullValue;
        pLength->bSeen = true;
        while (p != pEnd && (*p == ' ' || *p == '\t'))
            ++p;
        if (p == pEnd)
            return true;
        if (*p++ != ',')
            return false;
    }
}
