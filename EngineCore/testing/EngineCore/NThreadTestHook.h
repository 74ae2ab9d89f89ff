#pragma once

#include "EngineCore/EngineCoreApi.h"

// A seam for the project's own tests, to hold or fail the thread pool at points that a race would
// otherwise reach only by luck. Only the test variant of the library (EngineCoreTesting) has
// NThreadSetTestHook; the shipped one is built without it, and this header is never installed.
enum class ENThreadTestPoint
{
    // On a caller's thread, with the pool's lock released, before the starter thread is asked of
    // the system. Returning false fails that start as if the system had refused it.
    eStartingStarter,
    // On a pool thread after a function returned, before Destroy can see it done.
    eFunctionReturned,
};

// Called at each point while set; returns true to go on. Null (the default) removes it.
using NThreadTestHook = bool (*)(ENThreadTestPoint ePoint);
ENGINECORE_API void NThreadSetTestHook(NThreadTestHook pfnHook);
