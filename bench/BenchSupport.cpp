#include "BenchSupport.h"

#include <strings.h>

#include <fstream>
#include <string>

long ReadStatusKb(const char* pszField)
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    const std::string Field = std::string(pszField) + ":";
    while (std::getline(Status, Line))
        if (Line.rfind(Field, 0) == 0)
            return std::stol(Line.substr(Field.size()));
    return -1;
}

bool ResetPeakRss()
{
    std::ofstream ClearRefs("/proc/self/clear_refs");
    ClearRefs << "5";
    ClearRefs.flush();
    return static_cast<bool>(ClearRefs);
}

std::string HeaderValue(const std::string& Head, const char* pszName)
{
    const std::string Needle = std::string("\r\n") + pszName + ":";
    for (size_t uAt = Head.find("\r\n"); uAt != std::string::npos; uAt = Head.find("\r\n", uAt + 2))
    {
        if (strncasecmp(Head.c_str() + uAt, Needle.c_str(), Needle.size()) != 0)
            continue;
        size_t uBegin = uAt + Needle.size();
        while (uBegin < Head.size() && Head[uBegin] == ' ')
            ++uBegin;
        return Head.substr(uBegin, Head.find("\r\n", uBegin) - uBegin);
    }
    return std::string();
}
