#include "Commands.h"

#include <cstdio>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace tarn
{
namespace test
{
int RunCommand(const std::string& Command, std::string& Output)
{
    Output.clear();
#if defined(_WIN32)
    (void)Command;
    return -1;
#else
    FILE* pPipe = ::popen(Command.c_str(), "r");
    if (pPipe == nullptr)
        return -1;
    char szChunk[4096];
    size_t uRead = 0;
    while ((uRead = std::fread(szChunk, 1, sizeof(szChunk), pPipe)) > 0)
        Output.append(szChunk, uRead);
    const int nStatus = ::pclose(pPipe);
    return nStatus != -1 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
#endif
}
} // namespace test
} // namespace tarn
