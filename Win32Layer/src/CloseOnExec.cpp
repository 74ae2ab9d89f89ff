#include "CloseOnExec.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

namespace tarn
{
namespace inet
{
namespace
{
bool InheritedByExec(int nFd)
{
    const int nFlags = ::fcntl(nFd, F_GETFD);
    return nFlags >= 0 && (nFlags & FD_CLOEXEC) == 0;
}

bool IsUnixStreamSocket(int nFd)
{
    int nDomain = 0;
    int nType = 0;
    socklen_t uLength = sizeof(nDomain);
    if (::getsockopt(nFd, SOL_SOCKET, SO_DOMAIN, &nDomain, &uLength) != 0)
        return false;
    uLength = sizeof(nType);
    return ::getsockopt(nFd, SOL_SOCKET, SO_TYPE, &nType, &uLength) == 0 && nDomain == AF_UNIX &&
           nType == SOCK_STREAM;
}

// The open descriptors that an exec would keep, sorted; false when they cannot be listed.
bool ListInheritedByExec(std::vector<int>& Fds)
{
    DIR* pDir = ::opendir("/proc/self/fd"); // its own descriptor is close-on-exec
    if (pDir == nullptr)
        return false;
    const int nOwnFd = ::dirfd(pDir);
    bool bListed = true;
    try
    {
        while (const dirent* pEntry = ::readdir(pDir))
        {
            if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9')
                continue;
            const int nFd = std::atoi(pEntry->d_name);
            if (nFd != nOwnFd && InheritedByExec(nFd))
                Fds.push_back(nFd);
        }
        std::sort(Fds.begin(), Fds.end());
    }
    catch (...)
    {
        bListed = false;
    }
    ::closedir(pDir);
    return bListed;
}
} // namespace

NewSocketPairWatch::NewSocketPairWatch()
{
    m_bNoted = ListInheritedByExec(m_Before);
}

void NewSocketPairWatch::MarkCloseOnExec()
{
    std::vector<int> After;
    if (!m_bNoted || !ListInheritedByExec(After))
        return;
    int aNew[2] = {-1, -1};
    int nFound = 0;
    for (int nFd : After)
    {
        if (std::binary_search(m_Before.begin(), m_Before.end(), nFd) || !IsUnixStreamSocket(nFd))
            continue;
        if (nFound == 2)
            return; // more than libcurl's pair
        aNew[nFound++] = nFd;
    }
    if (nFound != 2)
        return;
    for (int nFd : aNew)
        ::fcntl(nFd, F_SETFD, ::fcntl(nFd, F_GETFD) | FD_CLOEXEC);
}
} // namespace inet
} // namespace tarn
