#pragma once

#include "EngineCore/EngineCoreApi.h"

enum NWLOG_PRIORITY
{
    NWLOG_EMERG = 0,
    NWLOG_ALERT = 1,
    NWLOG_CRIT = 2,
    NWLOG_ERR = 3,
    NWLOG_WARNING = 4,
    NWLOG_NOTICE = 5,
    NWLOG_INFO = 6,
    NWLOG_DEBUG = 7,
};

// Receives one formatted record per NWLogPrintf call. Calls are serialised: a sink never runs
// twice at once, so it needs no lock of its own.
typedef void (*NWLogSink)(NWLOG_PRIORITY ePriority, const char* pszRecord, void* pvUser);

#if defined(__GNUC__)
#define NWLOG_PRINTF_CHECK __attribute__((format(printf, 2, 3)))
#else
#define NWLOG_PRINTF_CHECK
#endif

// Formats like printf and writes one record. Safe from any thread; records never interleave.
// Without a sink a record goes to standard error, stamped with the time, thread id and priority.
ENGINECORE_API int NWLogPrintf(NWLOG_PRIORITY ePriority, const char* pszFormat, ...) NWLOG_PRINTF_CHECK;

// Installs a sink for every later record (null restores standard error). The call waits for a
// record being written to finish, so once it returns the old sink is no longer called.
ENGINECORE_API void NWLogSetSink(NWLogSink pfnSink, void* pvUser);
