#include "TarnLog.h"

#include "TarnExit.h"
#include "TarnUrl.h"

#include "EngineCore/NWLog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tarn
{
namespace
{
const char kMacroLine[] = "NWLOG_PROCESS_ERROR(";
const char kDownloadLine[] = "Failed to download `";
const char kUploadLine[] = "Failed to upload `";
const char kAddressEnd[] = "`, Error Code ";
const char kStatusLine[] = "Response status code : ";
const char kInfoLine[] = "Response info : ";
// How the response info of a CA file or directory that cannot be read begins: curl's class 77.
const char kCaInfo[] = "cannot read the CA ";
// Checks whose condition tells the reason better than the error code, which they leave unset.
const struct
{
    const char* pszCondition;
    const char* pszReason;
    int nExit;
} kCheckReasons[] = {
    {"ullNeeded < NW_MAX_RESPONSE_SIZE", "response larger than 4 GiB", eExitTooLarge},
    {"ullAnnounced < NW_MAX_RESPONSE_SIZE", "response larger than 4 GiB", eExitTooLarge},
    {"!ContainsDelimiterLine(pszValue, uValueLen)", "a form field holds the form boundary; nothing was sent",
     eExitFailed},
    {"!ContainsDelimiterLine(pbyCursor, dwRead)", "a file holds the form boundary; nothing was sent",
     eExitFailed},
    {"ullFileSize <= NW_POST_BODY_MAX_SIZE", "a file is larger than 2 GiB; nothing was sent", eExitFailed},
    {"ullBodySize <= NW_POST_BODY_MAX_SIZE", "the form is larger than 2 GiB; nothing was sent", eExitFailed},
    {"ullFileSize <= dwFileRoom", "a file grew while it was read; nothing was sent", eExitRead},
};

// What one failed transfer logged. A worker runs one transfer, and logs its check line(s), then
// the download or upload line, then the status line, all from its own thread.
struct Failure
{
    bool bHasAddress = false;
    bool bUpload = false;
    std::string Address;
    int nCode = 0;
    bool bHasStatus = false;
    int nStatus = 0;
    std::string FirstCheck; // the condition of the innermost failed check
    std::string Info;       // WinINet's extended text: an unreadable CA path, by name
    bool bTaken = false;
};

std::atomic<std::size_t> g_uHidden{0};
bool g_bVerbose = false;
std::mutex g_Mutex;
std::vector<Failure> g_Failures;
std::map<std::thread::id, std::size_t> g_Open; // a worker's latest failure

bool StartsWith(const char* pszText, const char* pszPrefix)
{
    return std::strncmp(pszText, pszPrefix, std::strlen(pszPrefix)) == 0;
}

// The failure a line from this thread belongs to: the open one unless it already holds what the
// line brings (then a new transfer on a reused thread id has begun).
Failure& FailureFor(bool bDone)
{
    const auto Found = g_Open.find(std::this_thread::get_id());
    if (Found != g_Open.end() && !bDone && !g_Failures[Found->second].bTaken)
        return g_Failures[Found->second];
    g_Failures.emplace_back();
    g_Open[std::this_thread::get_id()] = g_Failures.size() - 1;
    return g_Failures.back();
}

Failure* OpenFailure()
{
    const auto Found = g_Open.find(std::this_thread::get_id());
    return Found == g_Open.end() ? nullptr : &g_Failures[Found->second];
}

void Record(const char* pszRecord)
{
    std::lock_guard<std::mutex> Lock(g_Mutex);
    Failure* pOpen = OpenFailure();
    if (StartsWith(pszRecord, kMacroLine))
    {
        Failure& Into = FailureFor(pOpen != nullptr && (pOpen->bHasAddress || pOpen->bHasStatus));
        if (Into.FirstCheck.empty())
        {
            const char* pszEnd = std::strstr(pszRecord, ") at line ");
            const std::size_t uStart = sizeof(kMacroLine) - 1;
            if (pszEnd != nullptr)
                Into.FirstCheck.assign(pszRecord + uStart, pszEnd);
        }
    }
    else if (StartsWith(pszRecord, kDownloadLine) || StartsWith(pszRecord, kUploadLine))
    {
        const bool bUpload = StartsWith(pszRecord, kUploadLine);
        const char* pszAddress = pszRecord + (bUpload ? sizeof(kUploadLine) : sizeof(kDownloadLine)) - 1;
        const char* pszCode = std::strstr(pszAddress, kAddressEnd);
        // The address may itself hold "`, Error Code "; the last one ends it.
        for (const char* pszNext = pszCode; pszNext != nullptr;
             pszNext = std::strstr(pszNext + 1, kAddressEnd))
            pszCode = pszNext;
        if (pszCode == nullptr)
            return;
        Failure& Into = FailureFor(pOpen != nullptr && pOpen->bHasAddress);
        Into.bHasAddress = true;
        Into.bUpload = bUpload;
        Into.Address.assign(pszAddress, pszCode);
        Into.nCode = std::atoi(pszCode + sizeof(kAddressEnd) - 1);
    }
    else if (StartsWith(pszRecord, kInfoLine))
    {
        if (pOpen != nullptr)
        {
            pOpen->Info = pszRecord + sizeof(kInfoLine) - 1;
            if (!pOpen->Info.empty() && pOpen->Info.back() == '\n')
                pOpen->Info.pop_back();
        }
    }
    else if (StartsWith(pszRecord, kStatusLine))
    {
        Failure& Into = FailureFor(pOpen != nullptr && pOpen->bHasStatus);
        Into.bHasStatus = true;
        Into.nStatus = std::atoi(pszRecord + sizeof(kStatusLine) - 1);
    }
}

// Called from the library's worker threads as well as the host's, one call at a time.
void Sink(NWLOG_PRIORITY, const char* pszRecord, void*)
{
    if (pszRecord == nullptr)
        return;
    Record(pszRecord);
    if (!g_bVerbose)
    {
        g_uHidden.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::size_t uLength = std::strlen(pszRecord);
    std::fputs(pszRecord, stderr);
    if (uLength == 0 || pszRecord[uLength - 1] != '\n')
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

FailureReason Describe(const Failure& Failed)
{
    if (Failed.bHasStatus && Failed.nStatus != 0)
        return {"HTTP " + std::to_string(Failed.nStatus) + " (only 200 counts as success)", eExitHttpError};
    for (const auto& Each : kCheckReasons)
        if (Failed.FirstCheck == Each.pszCondition)
            return {Each.pszReason, Each.nExit};
    if (Failed.nCode != 0)
        return {ErrorCodeText(Failed.nCode) + " (" + std::to_string(Failed.nCode) + ")" +
                    (Failed.Info.empty() ? "" : ": " + Failed.Info),
                Failed.Info.rfind(kCaInfo, 0) == 0 ? eExitCaFile : ExitForErrorCode(Failed.nCode)};
    if (Failed.bHasStatus)
        return {"no HTTP response", eExitFailed};
    return {"failed while reading the response", eExitFailed};
}
} // namespace

void RouteLibraryLog(bool bVerbose)
{
    g_bVerbose = bVerbose;
    NWLogSetSink(&Sink, nullptr);
}

std::size_t HiddenLogLines()
{
    return g_uHidden.load(std::memory_order_relaxed);
}

namespace
{
FailureReason TakeFailure(const std::string& Address, bool bUpload)
{
    const std::string Masked = MaskPassword(Address);
    std::lock_guard<std::mutex> Lock(g_Mutex);
    for (Failure& Each : g_Failures)
    {
        if (Each.bTaken || !Each.bHasAddress || Each.bUpload != bUpload)
            continue;
        if (Each.Address == Address || MaskPassword(Each.Address) == Masked)
        {
            Each.bTaken = true;
            return Describe(Each);
        }
    }
    return FailureReason();
}
} // namespace

FailureReason TakeGetReason(const std::string& Address)
{
    return TakeFailure(Address, false);
}

FailureReason TakePostReason(const std::string& Address)
{
    return TakeFailure(Address, true);
}

std::string TakeGetFailure(const std::string& Address)
{
    return TakeGetReason(Address).Text;
}
} // namespace tarn
