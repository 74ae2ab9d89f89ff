#pragma once

// Check-and-log macros. Every function that can fail has one failure exit, the label Exit0,
// which runs its clean-up; NWLOG_PROCESS_ERROR jumps there after logging the failed condition.
#include "EngineCore/NWLog.h"

// The enclosing function's name qualified by its class ("NW_HttpClient::RequestPost").
#if defined(_MSC_VER)
#define NW_FUNCTION_NAME __FUNCTION__
#else
#define NW_FUNCTION_NAME NWQualifiedFunctionName(__PRETTY_FUNCTION__).szName
#endif

struct NWFunctionName
{
    char szName[256];
};

// Cuts a compiler's full signature ("int NW_HttpClient::RequestPost(const char*, ...)") down to
// the qualified name. Runs only when a line is logged.
NWFunctionName NWQualifiedFunctionName(const char* pszPrettyFunction);

#define NWLOG_PROCESS_ERROR(Condition)                                                                       \
    do                                                                                                       \
    {                                                                                                        \
        if (!(Condition))                                                                                    \
        {                                                                                                    \
            NWLogPrintf(NWLOG_DEBUG, "NWLOG_PROCESS_ERROR(%s) at line %d in %s\n", #Condition, __LINE__,     \
                        NW_FUNCTION_NAME);                                                                   \
            goto Exit0;                                                                                      \
        }                                                                                                    \
    } while (0)

#define NWLOG_CHECK_ERROR(Condition)                                                                         \
    do                                                                                                       \
    {                                                                                                        \
        if (!(Condition))                                                                                    \
            NWLogPrintf(NWLOG_DEBUG, "NWLOG_CHECK_ERROR(%s) at line %d in %s\n", #Condition, __LINE__,       \
                        NW_FUNCTION_NAME);                                                                   \
    } while (0)
