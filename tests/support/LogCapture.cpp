#include "LogCapture.h"

#include <regex>

LogCapture::LogCapture()
{
    NWLogSetSink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture()
{
    NWLogSetSink(nullptr, nullptr);
}

void LogCapture::Sink(NWLOG_PRIORITY ePriority, const char* pszRecord, void* pvUser)
{
    LogCapture* pSelf = static_cast<LogCapture*>(pvUser);
    std::lock_guard<std::mutex> Lock(pSelf->m_Mutex);
    pSelf->m_Lines.emplace_back(pszRecord);
    pSelf->m_Priorities.push_back(ePriority);
}

std::vector<std::string> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_Lines;
}

std::vector<NWLOG_PRIORITY> LogCapture::Priorities() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return m_Priorities;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_Lines.clear();
    m_Priorities.clear();
}

std::string LogCapture::WithoutLineNumber(const std::string& Line)
{
    static const std::regex s_Number(" at line [0-9]+ in ");
    return std::regex_replace(Line, s_Number, " at line N in ");
}

std::vector<std::string> LogCapture::LinesWithoutNumbers() const
{
    std::vector<std::string> Result;
    for (const std::string& Line : Lines())
        Result.push_back(WithoutLineNumber(Line));
    return Result;
}
