#include "TarnLog.h"

#include "EngineCore/NWLog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn
{
namespace
{
const char kMacroLine[] = "NWLOG_PROCESS_ERROR(";
const char kDownloadLine[] = "Failed to download `";
const char kDownloadCode[] = "`, Error Code ";
const char kStatusLine[] = "Response status code : ";
// The check that fails when a body would outgrow the 32-bit length the callback carries.
const char kTooLargeCheck[] = "ullNeeded < NW_MAX_RESPONSE_SIZE";

// What one failed transfer logged. A worker runs one transfer, and logs its check line(s), then
// the download line (GET only), then the status line, all from its own thread.
struct Failure
{
    bool bHasAddress = false;
    std::string Address;
    int nCode = 0;
    bool bHasStatus = false;
    int nStatus = 0;
    std::string FirstCheck; // the condition of the innermost failed check
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
    else if (StartsWith(pszRecord, kDownloadLine))
    {
        const char* pszAddress = pszRecord + sizeof(kDownloadLine) - 1;
        const char* pszCode = std::strstr(pszAddress, kDownloadCode);
        // The address may itself hold "`, Error Code "; the last one ends it.
        for (const char* pszNext = pszCode; pszNext != nullptr;
             pszNext = std::strstr(pszNext + 1, kDownloadCode))
            pszCode = pszNext;
        if (pszCode == nullptr)
            return;
        Failure& Into = FailureFor(pOpen != nullptr && pOpen->bHasAddress);
        Into.bHasAddress = true;
        Into.Address.assign(pszAddress, pszCode);
        Into.nCode = std::atoi(pszCode + sizeof(kDownloadCode) - 1);
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

// The address with any password replaced by "***", as the library may log it.
std::string MaskPassword(const std::string& Address)
{
    const std::size_t uScheme = Address.find("://");
    const std::size_t uStart = uScheme == std::string::npos ? 0 : uScheme + 3;
    const std::size_t uEnd = std::min(Address.find_first_of("/?#", uStart), Address.size());
    const std::size_t uAt = Address.rfind('@', uEnd);
    if (uAt == std::string::npos || uAt < uStart)
        return Address;
    const std::size_t uColon = Address.find(':', uStart);
    if (uColon == std::string::npos || uColon > uAt)
        return Address;
    return Address.substr(0, uColon + 1) + "***" + Address.substr(uAt);
}

std::string Describe(const Failure& Failed)
{
    if (Failed.bHasStatus && Failed.nStatus != 0)
        return "HTTP " + std::to_string(Failed.nStatus);
    if (Failed.FirstCheck == kTooLargeCheck)
        return "response larger than 4 GiB";
    if (Failed.nCode != 0)
        return ErrorCodeText(Failed.nCode) + " (" + std::to_string(Failed.nCode) + ")";
    if (Failed.bHasStatus)
        return "no HTTP response";
    return "failed while reading the response";
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

std::string TakeGetFailure(const std::string& Address)
{
    const std::string Masked = MaskPassword(Address);
    std::lock_guard<std::mutex> Lock(g_Mutex);
    for (Failure& Each : g_Failures)
    {
        if (Each.bTaken || !Each.bHasAddress)
            continue;
        if (Each.Address == Address || MaskPassword(Each.Address) == Masked)
        {
            Each.bTaken = true;
            return Describe(Each);
        }
    }
    return std::string();
}

std::string TakePostFailure()
{
    std::lock_guard<std::mutex> Lock(g_Mutex);
    for (auto Each = g_Failures.rbegin(); Each != g_Failures.rend(); ++Each)
    {
        if (!Each->bTaken && !Each->bHasAddress && (Each->bHasStatus || !Each->FirstCheck.empty()))
        {
            Each->bTaken = true;
            return Describe(*Each);
        }
    }
    return std::string();
}
} // namespace tarn
