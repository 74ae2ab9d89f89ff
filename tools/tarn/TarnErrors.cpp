// WinINet's error codes (and the few system codes its calls give) in words, for result lines.
#include "TarnLog.h"

#include <utility>

namespace tarn
{
std::string ErrorCodeText(int nCode)
{
    static const std::pair<int, const char*> kTexts[] = {
        {8, "out of memory"},
        {87, "invalid parameter"},
        {12001, "out of handles"},
        {12002, "timed out"},
        {12004, "internal error"},
        {12005, "invalid URL"},
        {12006, "unrecognized scheme"},
        {12007, "host name not resolved"},
        {12017, "operation cancelled"},
        {12029, "connection refused"},
        {12030, "connection aborted"},
        {12031, "connection reset"},
        {12037, "certificate expired or not yet valid"},
        {12038, "certificate name mismatch"},
        {12044, "client certificate needed"},
        {12045, "certificate not trusted"},
        {12055, "certificate error"},
        {12057, "certificate revocation check failed"},
        {12150, "header not found"},
        {12152, "invalid server response"},
        {12156, "redirect failed"},
        {12157, "secure channel error"},
        {12163, "disconnected"},
        {12164, "server unreachable"},
        {12165, "proxy unreachable"},
        {12169, "invalid certificate"},
        {12170, "certificate revoked"},
        {12175, "decoding failed"},
    };
    for (const auto& Each : kTexts)
        if (Each.first == nCode)
            return Each.second;
    return "error";
}
} // namespace tarn
