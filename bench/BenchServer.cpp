#include "BenchServer.h"

#include "TarnServer.h"

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int StartServerProcess(pid_t* pPid, bool bKeepAlive)
{
    int rgnPipe[2];
    if (pipe(rgnPipe) != 0)
        return 0;
    const pid_t Pid = fork();
    if (Pid == 0)
    {
        prctl(PR_SET_NAME, "bench-server"); // its threads apart from the host's in a profile
        close(rgnPipe[0]);
        tarn::TarnServer Server;
        if (bKeepAlive)
            Server.EnableKeepAlive();
        const int nPort = Server.Start();
        if (write(rgnPipe[1], &nPort, sizeof(nPort)) != sizeof(nPort))
            _exit(1);
        close(rgnPipe[1]);
        while (true)
            pause();
    }
    close(rgnPipe[1]);
    int nPort = 0;
    if (read(rgnPipe[0], &nPort, sizeof(nPort)) != sizeof(nPort))
        nPort = 0;
    close(rgnPipe[0]);
    *pPid = Pid;
    return nPort;
}

void StopServerProcess(pid_t Pid)
{
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
}
