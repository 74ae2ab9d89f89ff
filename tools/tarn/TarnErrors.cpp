// WinINet's error codes (and the few system codes its calls give) in words for result lines, and
// the exit status of each.
#include "TarnExit.h"
#include "TarnLog.h"

namespace tarn
{
namespace
{
struct CodeInfo
{
    int nCode;
    const char* pszText;
    int nExit;
};

constexpr CodeInfo kCodes[] = {
    {8, "out of memory", eExitOutOfMemory},
    {87, "invalid parameter", eExitFailed},
    {12001, "out of handles", eExitFailed},
    {12002, "timed out", eExitTimedOut},
    {12004, "internal error", eExitFailed},
    {12005, "invalid URL", eExitBadUrl},
    {12006, "unrecognized scheme", eExitBadUrl},
    {12007, "host name not resolved", eExitNotResolved},
    {12017, "operation cancelled", eExitFailed},
    // Also a connect that timed out: the library gives it this code, not 12002.
    {12029, "connection refused", eExitConnect},
    // The library reports an empty reply, a failed send and a failed receive alike.
    {12030, "connection aborted", eExitConnectionLost},
    {12031, "connection reset", eExitConnectionLost},
    {12037, "certificate expired or not yet valid", eExitCertificate},
    {12038, "certificate name mismatch", eExitCertificate},
    {12044, "client certificate needed", eExitTls},
    {12045, "certificate not trusted", eExitCertificate},
    {12055, "certificate error", eExitCertificate},
    {12057, "certificate revocation check failed", eExitCertificate},
    {12150, "header not found", eExitBadReply},
    {12152, "invalid server response", eExitBadReply},
    {12156, "redirect failed", eExitRedirects},
    {12157, "secure channel error", eExitTls},
    {12163, "disconnected", eExitConnectionLost},
    {12164, "server unreachable", eExitConnect},
    {12165, "proxy unreachable", eExitConnect},
    {12169, "invalid certificate", eExitCertificate},
    {12170, "certificate revoked", eExitCertificate},
    {12175, "decoding failed", eExitBadReply},
};

const CodeInfo* Find(int nCode)
{
    for (const CodeInfo& Each : kCodes)
        if (Each.nCode == nCode)
            return &Each;
    return nullptr;
}
} // namespace

std::string ErrorCodeText(int nCode)
{
    const CodeInfo* pInfo = Find(nCode);
    return pInfo != nullptr ? pInfo->pszText : "error";
}

int ExitForErrorCode(int nCode)
{
    const CodeInfo* pInfo = Find(nCode);
    return pInfo != nullptr ? pInfo->nExit : static_cast<int>(eExitFailed);
}
} // namespace tarn
