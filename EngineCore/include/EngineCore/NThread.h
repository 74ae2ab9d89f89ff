#pragma once

#include "EngineCore/EngineCoreApi.h"

struct NThreadState;

// Owns at most one thread. Create, Destroy and the destructor are called by one thread at a
// time (the owner), never by the thread the wrapper started.
class ENGINECORE_API NThread
{
public:
    NThread();
    ~NThread();

    NThread(const NThread&) = delete;
    NThread& operator=(const NThread&) = delete;

    // Starts a thread that calls pfnThreadFunction(pvArg) once and ends when it returns.
    // Returns 1 at once, or 0 when no thread could be started (or one is already owned).
    int Create(void (*pfnThreadFunction)(void*), void* pvArg);

    // Returns only after the thread started by Create has ended. Harmless on a wrapper whose
    // thread never started or was already destroyed. Returns 1 when a thread was joined, else 0.
    int Destroy();

private:
    NThreadState* m_pState;
};
