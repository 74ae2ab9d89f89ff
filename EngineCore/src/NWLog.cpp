#include "EngineCore/NWLog.h"
#include "NThreadPlatform.h"
#include "NThreadSafety.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace
{
// Callers read their own error state right after logging (the library logs a failed step, then
// reports GetLastError()), so logging must leave it as it found it. On Windows the thread id and
// the C runtime go through TlsGetValue and friends, which set the last error to 0 on success.
class LastErrorKeeper
{
public:
    LastErrorKeeper() : m_nErrno(errno) {}
    ~LastErrorKeeper()
    {
#if defined(_WIN32)
        SetLastError(m_dwLastError);
#endif
        errno = m_nErrno;
    }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
#if defined(_WIN32)
    DWORD m_dwLastError = GetLastError(); // read before anything else can touch it
#endif
    int m_nErrno;
};

// Taken alone: the sink runs under it and must not log, and the pool never logs.
NMutex g_LogMutex;
NWLogSink g_pfnSink TARN_GUARDED_BY(g_LogMutex) = nullptr;
void* g_pvSinkUser TARN_GUARDED_BY(g_LogMutex) = nullptr;

// The child of a fork has only the thread that forked: had another thread been logging, the
// child would inherit the lock held by nobody. Holding it across the fork leaves it whole.
struct ForkGuard
{
    ForkGuard() { NThreadPlatform::CallAroundFork(&Lock, &Unlock, &Unlock); }
    static void Lock() TARN_ACQUIRE(g_LogMutex) { g_LogMutex.Lock(); }
    static void Unlock() TARN_RELEASE(g_LogMutex) { g_LogMutex.Unlock(); }
} g_ForkGuard;

// Formats into a stack buffer when the record fits, else into a heap string of the exact size.
std::string FormatRecord(const char* pszFormat, va_list Args)
{
    char szSmall[512];
    va_list ArgsCopy;
    va_copy(ArgsCopy, Args);
    int nLen = std::vsnprintf(szSmall, sizeof(szSmall), pszFormat, ArgsCopy);
    va_end(ArgsCopy);
    if (nLen < 0)
        return std::string();
    if (static_cast<size_t>(nLen) < sizeof(szSmall))
        return std::string(szSmall, static_cast<size_t>(nLen));

    std::string Record(static_cast<size_t>(nLen), '\0');
    std::vsnprintf(&Record[0], Record.size() + 1, pszFormat, Args);
    return Record;
}

void WriteToStderr(NWLOG_PRIORITY ePriority, const std::string& Record)
{
    using namespace std::chrono;
    const auto Now = system_clock::now();
    const std::time_t Seconds = system_clock::to_time_t(Now);
    const long nMillis =
        static_cast<long>(duration_cast<milliseconds>(Now.time_since_epoch()).count() % 1000);
    std::tm Tm{};
#if defined(_WIN32)
    localtime_s(&Tm, &Seconds);
#else
    localtime_r(&Seconds, &Tm);
#endif
    char szStamp[32];
    std::strftime(szStamp, sizeof(szStamp), "%Y-%m-%d %H:%M:%S", &Tm);
    const size_t uThreadId = std::hash<std::thread::id>()(std::this_thread::get_id());

    std::string Line;
    Line.reserve(Record.size() + 64);
    char szHead[96];
    std::snprintf(szHead, sizeof(szHead), "%s.%03ld [%zx] <%d> ", szStamp, nMillis, uThreadId,
                  static_cast<int>(ePriority));
    Line += szHead;
    Line += Record;
    if (Line.empty() || Line.back() != '\n')
        Line += '\n';
    std::fwrite(Line.data(), 1, Line.size(), stderr);
    std::fflush(stderr);
}
} // namespace

int NWLogPrintf(NWLOG_PRIORITY ePriority, const char* pszFormat, ...)
{
    const LastErrorKeeper KeepError;
    if (pszFormat == nullptr)
        return 0;

    std::string Record;
    try
    {
        va_list Args;
        va_start(Args, pszFormat);
        Record = FormatRecord(pszFormat, Args);
        va_end(Args);

        NMutexLock Held(g_LogMutex);
        if (g_pfnSink != nullptr)
            g_pfnSink(ePriority, Record.c_str(), g_pvSinkUser);
        else
            WriteToStderr(ePriority, Record);
    }
    catch (...)
    {
        // Logging never fails from the caller's point of view; a record that cannot be built is dropped.
        return 0;
    }
    return 1;
}

void NWLogSetSink(NWLogSink pfnSink, void* pvUser)
{
    try
    {
        NMutexLock Held(g_LogMutex);
        g_pfnSink = pfnSink;
        g_pvSinkUser = pvUser;
    }
    catch (...)
    {
        // The lock fails only when called from inside the sink, which the contract forbids; no
        // exception leaves EngineCore's interface, and the sink stays as it was.
    }
}
