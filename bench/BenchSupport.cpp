#include "BenchSupport.h"

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
