#pragma once

// Platform types and calls: the real Windows headers on Windows, our Linux layer elsewhere.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wininet.h>
#else
#include "Win32Layer/WinFile.h"
#include "Win32Layer/WinInet.h"
#include "Win32Layer/WinTypes.h"
#endif

static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
