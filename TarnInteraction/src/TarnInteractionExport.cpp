// The library's only export.
#include "NTarnInteraction.h"

#include <new>

extern "C" TARNINTERACTION_API ITarnInteraction* CreateTarnInteraction()
{
    if (g_pInteraction != nullptr)
    {
        g_pInteraction->AddRef();
        return g_pInteraction;
    }
    // Null when it cannot be created, so that the next call tries again.
    g_pInteraction = new (std::nothrow) NTarnInteraction;
    return g_pInteraction;
}
