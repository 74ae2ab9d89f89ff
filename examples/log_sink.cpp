// A host that learns why each request failed. The callback gets only 0 or 1; the reason is in the
// library's log records, which a sink installed with NWLogSetSink receives. The sink keeps each
// failure's error code and status by the address it names, and the callback looks them up.
//
//   example_log_sink URL...     for instance, against tarn_server --port 8080:
//   example_log_sink http://127.0.0.1:8080/bytes/5 http://127.0.0.1:8080/status/404 http://127.0.0.1:1/
//
// One line per URL: "url1: ok, 5 bytes", "url2: failed, HTTP status 404", "url3: failed, error
// code 12029" (WinINet's codes: 12029 cannot connect, 12007 name not resolved, 12002 timed out).
// Exits 0 when every request was delivered and every failure had its reason.
#include <EngineCore/NWLog.h>
#include <TarnInteraction/ITarnInteraction.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
struct Failure
{
    std::string Address;
    int nCode = -1;   // from "Failed to download `<address>`, Error Code <n>."
    int nStatus = -1; // from "Response status code : <n>" (0: no answer came)
};

// The sink runs on the library's threads, the callback on the host's: one lock for both.
std::mutex g_Lock;
// A worker logs the lines of one failure from its own thread, so they are put together by thread.
std::map<std::thread::id, std::shared_ptr<Failure>> g_Open;
std::map<std::string, std::deque<std::shared_ptr<Failure>>> g_ByAddress; // oldest first

void CollectFailures(NWLOG_PRIORITY, const char* pszRecord, void*)
{
    static const char kDownload[] = "Failed to download `";
    static const char kCode[] = "`, Error Code ";
    static const char kStatus[] = "Response status code : ";
    std::lock_guard<std::mutex> Lock(g_Lock);
    std::shared_ptr<Failure>& Open = g_Open[std::this_thread::get_id()];
    if (std::strncmp(pszRecord, kDownload, sizeof(kDownload) - 1) == 0)
    {
        const char* pszCode = std::strstr(pszRecord, kCode);
        if (pszCode == nullptr)
            return;
        if (!Open || !Open->Address.empty()) // a new failure, maybe on a reused worker
            Open = std::make_shared<Failure>();
        Open->Address.assign(pszRecord + sizeof(kDownload) - 1, pszCode);
        Open->nCode = std::atoi(pszCode + sizeof(kCode) - 1);
        g_ByAddress[Open->Address].push_back(Open);
    }
    else if (std::strncmp(pszRecord, kStatus, sizeof(kStatus) - 1) == 0)
    {
        if (!Open || Open->nStatus >= 0)
            Open = std::make_shared<Failure>();
        Open->nStatus = std::atoi(pszRecord + sizeof(kStatus) - 1);
    }
    // A real host would also write every record to its own log here.
}

std::vector<std::string> g_Urls; // url1 is g_Urls[0], ...
int g_nDelivered = 0;
int g_nUnexplained = 0;

void OnDone(const char* pszTag, int bResult, const unsigned char*, unsigned int uSize)
{
    ++g_nDelivered;
    if (bResult)
    {
        std::printf("%s: ok, %u bytes\n", pszTag, uSize);
        return;
    }
    // The worker logged before the request was delivered: its failure is already here.
    const std::string& Url = g_Urls[std::strtoul(pszTag + 3, nullptr, 10) - 1];
    std::lock_guard<std::mutex> Lock(g_Lock);
    std::deque<std::shared_ptr<Failure>>& Failures = g_ByAddress[Url];
    if (Failures.empty())
    {
        ++g_nUnexplained;
        std::printf("%s: failed, no reason logged\n", pszTag);
        return;
    }
    const Failure Failed = *Failures.front();
    Failures.pop_front();
    if (Failed.nStatus > 0)
        std::printf("%s: failed, HTTP status %d\n", pszTag, Failed.nStatus);
    else
        std::printf("%s: failed, error code %d\n", pszTag, Failed.nCode);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s URL...\n", argv[0]);
        return 2;
    }
    NWLogSetSink(&CollectFailures, nullptr);
    ITarnInteraction* pInteraction = CreateTarnInteraction();
    if (pInteraction == nullptr)
        return 1;

    int nStarted = 0;
    g_Urls.assign(argv + 1, argv + argc);
    for (std::size_t i = 0; i < g_Urls.size(); ++i)
    {
        // A GET of the address followed by the object: the whole URL and nothing. The records
        // name that joined address (with any password shown as ***).
        const std::string Tag = "url" + std::to_string(i + 1);
        nStarted += pInteraction->Request(Tag.c_str(), g_Urls[i].c_str(), "", "", 0, &OnDone);
    }

    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_nDelivered < nStarted && std::chrono::steady_clock::now() < Deadline)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pInteraction->Release();
    NWLogSetSink(nullptr, nullptr); // back to standard error
    const bool bAllDelivered = nStarted == static_cast<int>(g_Urls.size()) && g_nDelivered == nStarted;
    return bAllDelivered && g_nUnexplained == 0 ? 0 : 1;
}
