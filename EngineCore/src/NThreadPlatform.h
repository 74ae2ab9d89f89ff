#pragma once

// What EngineCore needs of the system for its threads, one implementation per platform:
// NThreadPosix.cpp and NThreadWindows.cpp. The pool itself (NThread.cpp) is the same everywhere.
namespace NThreadPlatform
{
// Starts a thread that calls pfnEntry(pvArg) and ends when it returns; nobody joins it. Returns
// false when the system refuses the thread. Never throws.
bool StartDetached(void (*pfnEntry)(void*), void* pvArg);

// Names the calling thread for debuggers and profilers, where the system keeps thread names.
void NameCurrentThread(const char* pszName);

// Keeps EngineCore loaded until the process ends: parked threads run its code.
void PinModule();

// Whether the process can afford one more thread besides the running ones.
bool RoomForAnotherThread();

// Has pfnPrepare called before each fork, then pfnParent in the parent or pfnChild in the child,
// on the thread that forked. Nothing is called where there is no fork.
void CallAroundFork(void (*pfnPrepare)(), void (*pfnParent)(), void (*pfnChild)());
} // namespace NThreadPlatform
