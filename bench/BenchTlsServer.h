#pragma once

#include <sys/types.h>

#include <string>

// What the TLS server has seen since it started: TCP connections accepted, and handshakes made
// in full rather than resumed from an earlier session. In memory shared with the child.
struct TlsServerCounts
{
    long lConnections = 0;
    long lFullHandshakes = 0;
};

// Forks a child that serves HTTPS on a free loopback port until killed, a thread per connection,
// each kept as long as the client keeps it: GET /bytes/<n> answers n bytes; a request with a body
// is read whole and answered 200 with the body's length as text. The child makes a CA and a
// certificate for 127.0.0.1 and localhost as it starts, and writes the CA's certificate (PEM) to
// CaPath. Returns the port (0 on failure), the child's id in *pPid and its counts in *ppCounts,
// which StopTlsServerProcess unmaps.
int StartTlsServerProcess(const std::string& CaPath, pid_t* pPid, const TlsServerCounts** ppCounts);

// Kills and reaps the child; the counts are gone afterwards.
void StopTlsServerProcess(pid_t Pid, const TlsServerCounts* pCounts);
