// Fuzz target: the layer's parsing of a response head. The input is handed over line by line, as
// libcurl's header callback does: interim (1xx) heads are dropped and the next head starts afresh;
// the final head is then checked for its framing. Besides running clean under the sanitizers, the
// parse must keep its invariants, and the framing check must agree with a plain reading of the
// Content-Length fields.
#include "InetFraming.h"
#include "InetHeaders.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using tarn::inet::CheckFraming;
using tarn::inet::EqualsNoCase;
using tarn::inet::HeaderLine;
using tarn::inet::ResponseHead;

namespace
{
[[noreturn]] void Fail(const char* cszWhat)
{
    std::fprintf(stderr, "response head: %s\n", cszWhat);
    std::abort();
}

bool IsTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A plain decimal of at most 64 bits, leading zeros dropped; empty when the text is none.
std::string Canonical(const std::string& Text)
{
    const size_t uBegin = Text.find_first_not_of(" \t");
    const size_t uEnd = Text.find_last_not_of(" \t");
    if (uBegin == std::string::npos)
        return std::string();
    std::string Digits = Text.substr(uBegin, uEnd - uBegin + 1);
    if (Digits.find_first_not_of("0123456789") != std::string::npos)
        return std::string();
    Digits.erase(0, std::min(Digits.find_first_not_of('0'), Digits.size() - 1));
    if (Digits.size() > 20 || (Digits.size() == 20 && Digits > "18446744073709551615"))
        return std::string();
    return Digits;
}

// True when every element of every Content-Length field is the same plain decimal number.
bool LengthsAgree(const ResponseHead& Head)
{
    std::string Seen;
    for (const HeaderLine& Header : Head.Headers)
    {
        if (!EqualsNoCase(Header.Name, "Content-Length"))
            continue;
        size_t uStart = 0;
        for (;;)
        {
            const size_t uComma = Header.Value.find(',', uStart);
            const std::string Element = Canonical(Header.Value.substr(uStart, uComma - uStart));
            if (Element.empty() || (!Seen.empty() && Element != Seen))
                return false;
            Seen = Element;
            if (uComma == std::string::npos)
                break;
            uStart = uComma + 1;
        }
    }
    return true;
}

void CheckInvariants(const ResponseHead& Head)
{
    if (Head.dwStatus >= 1000)
        Fail("status beyond three digits");
    for (const HeaderLine& Header : Head.Headers)
    {
        if (Header.Name.empty())
            Fail("a header without a name");
        for (char c : Header.Name)
            if (!IsTokenChar(c))
                Fail("a header name with a character outside a token");
        if (!Header.Value.empty() && (Header.Value.front() == ' ' || Header.Value.front() == '\t' ||
                                      Header.Value.back() == ' ' || Header.Value.back() == '\t'))
            Fail("a header value with blanks around it");
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    const std::string Text(reinterpret_cast<const char*>(pData), uSize);
    ResponseHead Head;
    size_t uPos = 0;
    while (uPos < Text.size())
    {
        const size_t uNewline = Text.find('\n', uPos);
        const size_t uEnd = uNewline == std::string::npos ? Text.size() : uNewline + 1;
        const bool bDone = Head.AddLine(Text.substr(uPos, uEnd - uPos));
        uPos = uEnd;
        CheckInvariants(Head);
        if (!bDone)
            continue;
        if (Head.Raw.size() < 2 || Head.Raw.compare(Head.Raw.size() - 2, 2, "\r\n") != 0)
            Fail("a finished head's text does not end with CRLF");
        if (Head.dwStatus < 200)
        {
            Head = ResponseHead();
            continue;
        }
        const bool bAccepted = CheckFraming(Head) == ERROR_SUCCESS;
        if (bAccepted != LengthsAgree(Head))
            Fail("the framing check disagrees with the Content-Length fields");
        break;
    }
    return 0;
}
