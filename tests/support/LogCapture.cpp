#include "LogCapture.h"

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
    static const std::string s_Lead = " at line ";
    const size_t uLead = Line.find(s_Lead);
    if (uLead == std::string::npos)
        return Line;
    const size_t uDigits = uLead + s_Lead.size();
    size_t uEnd = uDigits;
    while (uEnd < Line.size() && Line[uEnd] >= '0' && Line[uEnd] <= '9')
        ++uEnd;
    if (uEnd == uDigits || Line.compare(uEnd, 4, " in ") != 0)
        return Line;
    return Line.substr(0, uDigits) + "N" + Line.substr(uEnd);
}

std::vector<std::string> LogCapture::LinesWithoutNumbers() const
{
    std::vector<std::string> Result;
    for (const std::string& Line : Lines())
        Result.push_back(WithoutLineNumber(Line));
    return Result;
}
