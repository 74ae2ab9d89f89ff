#include "NThreadTestPoint.h"

#include <atomic>

namespace
{
std::atomic<NThreadTestHook> g_pfnTestHook{nullptr};
} // namespace

bool NThreadPassTestPoint(ENThreadTestPoint ePoint)
{
    const NThreadTestHook pfnHook = g_pfnTestHook.load(std::memory_order_acquire);
    return pfnHook == nullptr || pfnHook(ePoint);
}

void NThreadSetTestHook(NThreadTestHook pfnHook)
{
    g_pfnTestHook.store(pfnHook, std::memory_order_release);
}
