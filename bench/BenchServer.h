#pragma once

#include <sys/types.h>

// Forks a child that runs tarn_server's handlers on a free loopback port until killed, so that its
// memory and threads are not counted in the benchmark's process. Returns the port (0 on failure)
// and the child's id in *pPid.
int StartServerProcess(pid_t* pPid, bool bKeepAlive = false);

// Kills and reaps the child.
void StopServerProcess(pid_t Pid);

// Forks a child that reads request bodies and drops them, on a free loopback port until killed:
// each request is answered 200 with the body's length as text, after "100 Continue" when the
// client expects it. No parsing beyond the head, so that a client's upload speed shows and not
// the server's. Each connection has a thread and is kept as long as the client keeps it. Returns the port
// (0 on failure) and the child's id in *pPid; StopServerProcess ends it.
int StartSinkProcess(pid_t* pPid);
