#pragma once

// Symbols of the EngineCore shared library are exported; everything else stays hidden.
#if defined(_WIN32)
#if defined(ENGINECORE_BUILDING)
#define ENGINECORE_API __declspec(dllexport)
#else
#define ENGINECORE_API __declspec(dllimport)
#endif
#else
#define ENGINECORE_API __attribute__((visibility("default")))
#endif
