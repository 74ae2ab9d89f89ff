#include "InetFraming.h"

#include "NW_ContentLength.h"

namespace tarn
{
namespace inet
{
DWORD CheckFraming(const ResponseHead& Head)
{
    NW_CONTENT_LENGTH Length = {false, 0};
    for (const HeaderLine& Header : Head.Headers)
        if (EqualsNoCase(Header.Name, "Content-Length") &&
            !NW_TakeContentLength(&Length, Header.Value.data(), Header.Value.size()))
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return ERROR_SUCCESS;
}
} // namespace inet
} // namespace tarn
