#include "InetFraming.h"

namespace tarn
{
namespace inet
{
DWORD CheckFraming(const ResponseHead& Head)
{
    bool bSeen = false;
    std::uint64_t uLength = 0;
    for (const HeaderLine& Header : Head.Headers)
    {
        if (!EqualsNoCase(Header.Name, "Content-Length"))
            continue;
        // Each element of the comma-separated list: digits alone, blanks around them allowed.
        const std::string& Value = Header.Value;
        size_t uPos = 0;
        for (;;)
        {
            const size_t uComma = Value.find(',', uPos);
            std::uint64_t uElement = 0;
            if (!ParseDecimal(Value.substr(uPos, uComma - uPos), uElement) || (bSeen && uElement != uLength))
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
