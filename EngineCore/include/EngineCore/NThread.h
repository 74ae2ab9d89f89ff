#pragma once

#include "EngineCore/EngineCoreApi.h"

struct NThreadState;

// Owns at most one function running on a thread of its own. The threads are the process's: one
// whose function returned waits a while for the next. Create, Destroy and the destructor are
// called by one thread at a time (the owner), never by the function's thread. A child process
// made by fork has none of its parent's threads and starts its own on first use.
class ENGINECORE_API NThread
{
public:
    NThread();
    ~NThread();

    NThread(const NThread&) = delete;
    NThread& operator=(const NThread&) = delete;

    // Has pfnThreadFunction(pvArg) called once on a thread: a waiting one, or one started off the
    // caller's thread. Returns 1 at once, or 0 when no thread exists and none could be started
    // (or a function is already owned); only the process's first callers wait, while the thread
    // that starts the others is created. Never throws.
    int Create(void (*pfnThreadFunction)(void*), void* pvArg);

    // Returns only after the function handed to Create has returned; in a child process, at once
    // for a function handed over before the fork, whose thread is the parent's. Harmless on a
    // wrapper that never had one or was already destroyed. Returns 1 when it owned a function,
    // else 0.
    int Destroy();

private:
    NThreadState* m_pState;
};

// How many forks lie between the first process that ran a function here and this one: a child
// made by fork while the threads were in use reads one more than its parent did. Callers compare
// it with what they read before, to tell a fork that left them the parent's functions. 0 where
// there is no fork.
ENGINECORE_API unsigned NThreadForkGeneration();
