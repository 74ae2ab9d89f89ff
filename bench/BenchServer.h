#pragma once

#include <sys/types.h>

// Forks a child that runs tarn_server's handlers on a free loopback port until killed, so that its
// memory and threads are not counted in the benchmark's process. Returns the port (0 on failure)
// and the child's id in *pPid.
int StartServerProcess(pid_t* pPid, bool bKeepAlive = false);

// Kills and reaps the child.
void StopServerProcess(pid_t Pid);
