#include "TarnLog.h"

#include "EngineCore/NWLog.h"

#include <atomic>

namespace tarn
{
namespace
{
std::atomic<std::size_t> g_uHidden{0};

// Called from the library's worker threads as well as the host's.
void DropRecord(NWLOG_PRIORITY, const char*, void*)
{
    g_uHidden.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

void RouteLibraryLog(bool bVerbose)
{
    // A null sink is EngineCore's own writer: standard error, stamped with time and thread.
    NWLogSetSink(bVerbose ? nullptr : &DropRecord, nullptr);
}

std::size_t HiddenLogLines()
{
    return g_uHidden.load(std::memory_order_relaxed);
}
} // namespace tarn
