#include "InetFraming.h"

namespace tarn
{
namespace inet
{
namespace
{
// 1*DIGIT, nothing else: no sign, no blanks inside, no trailing text, at most 64 bits.
bool ParsePlainDecimal(const std::string& Text, size_t uBegin, size_t uEnd, std::uint64_t& uValue)
{
    if (uBegin == uEnd)
        return false;
    std::uint64_t uResult = 0;
    for (size_t i = uBegin; i < uEnd; ++i)
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
} // namespace

DWORD CheckFraming(const ResponseHead& Head)
{
    bool bSeen = false;
    std::uint64_t uLength = 0;
    for (const HeaderLine& Header : Head.Headers)
    {
        if (!EqualsNoCase(Header.Name, "Content-Length"))
            continue;
        // Each element of the comma-separated list, blanks around it allowed.
        const std::string& Value = Header.Value;
        size_t uPos = 0;
        for (;;)
        {
            const size_t uComma = Value.find(',', uPos);
            const size_t uEnd = uComma == std::string::npos ? Value.size() : uComma;
            size_t uBegin = uPos;
            size_t uLast = uEnd;
            while (uBegin < uLast && (Value[uBegin] == ' ' || Value[uBegin] == '\t'))
                ++uBegin;
            while (uLast > uBegin && (Value[uLast - 1] == ' ' || Value[uLast - 1] == '\t'))
                --uLast;
            std::uint64_t uElement = 0;
            if (!ParsePlainDecimal(Value, uBegin, uLast, uElement) || (bSeen && uElement != uLength))
                return ERROR_HTTP_INVALID_SERVER_RESPONSE;
            bSeen = true;
            uLength = uElement;
            if (uComma == std::string::npos)
                break;
            uPos = uComma + 1;
        }
    }
    return ERROR_SUCCESS;
}
} // namespace inet
} // namespace tarn
