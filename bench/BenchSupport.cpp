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

bool ReadRequestHead(const std::function<long(char*, size_t)>& Read, std::vector<char>& Buffer,
                     std::string& Pending, std::string& Head)
{
    size_t uHeadEnd = Pending.find("\r\n\r\n");
    while (uHeadEnd == std::string::npos)
    {
        const long nRead = Read(Buffer.data(), Buffer.size());
        if (nRead <= 0)
            return false;
        Pending.append(Buffer.data(), static_cast<size_t>(nRead));
        uHeadEnd = Pending.find("\r\n\r\n");
    }
    Head = Pending.substr(0, uHeadEnd + 2);
    Pending.erase(0, uHeadEnd + 4);
    return true;
}
