#pragma once

#include "EngineCore/NWLog.h"

#include <mutex>
#include <string>
#include <vector>

// Captures every log record written while it lives (from any thread), in order.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;
    std::vector<NWLOG_PRIORITY> Priorities() const;
    void Clear();

    // "NWLOG_PROCESS_ERROR(<condition>) at line <n> in <function>\n" with the line number left out,
    // so tests can compare against the condition and function alone.
    static std::string WithoutLineNumber(const std::string& Line);
    std::vector<std::string> LinesWithoutNumbers() const;

private:
    static void Sink(NWLOG_PRIORITY ePriority, const char* pszRecord, void* pvUser);

    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
    std::vector<NWLOG_PRIORITY> m_Priorities;
};

// The line a failed NWLOG_PROCESS_ERROR or NWLOG_CHECK_ERROR writes, without its line number (as
// LinesWithoutNumbers gives it).
inline std::string ProcessErrorLine(const std::string& Condition, const std::string& Function)
{
    return "NWLOG_PROCESS_ERROR(" + Condition + ") at line N in " + Function + "\n";
}

inline std::string CheckErrorLine(const std::string& Condition, const std::string& Function)
{
    return "NWLOG_CHECK_ERROR(" + Condition + ") at line N in " + Function + "\n";
}
