#pragma once
// A request sent, on Windows under deadlines of the library's own
// (NW_SendWatchWindows.cpp); on Linux the layer bounds each phase itself, and the send is a plain
// send (NW_SendWatchPosix.cpp).
//
// Wine's WinINet applies no time-out to the TLS handshake, and closing a handle from another thread
// does not end a call pending on it there (Microsoft's WinINet ends it). So the send runs on a thread
// of its own, the worker waits for it phase by phase, and when a phase outlives its limit the worker
// closes the request (which ends the call on Windows) and, if the call still does not return, stops
// waiting for it: the sending thread keeps the module loaded and its state alive until it returns.
#include "NW_Platform.h"

struct NW_SEND_STATE;

class NW_SendWatch
{
public:
    // The limits of each phase: connecting, a wait for the server's data (the handshake's and the
    // answer's), and sending.
    NW_SendWatch(DWORD dwConnectMs, DWORD dwReceiveMs, DWORD dwSendMs);
    ~NW_SendWatch();

    NW_SendWatch(const NW_SendWatch&) = delete;
    NW_SendWatch& operator=(const NW_SendWatch&) = delete;

    // The context to open the request with: its status callbacks move the deadline on.
    int Prepare(DWORD_PTR* pdwContext);

    // HttpSendRequestA on the request with cszHeaders, or with cszHeaders null HttpSendRequestExA,
    // which starts a request whose body follows; bounded either way. On failure the last error
    // tells why; a request the watch had to close is set to null, and the caller must not close it
    // again.
    int Send(HINTERNET* phRequest, const char* cszHeaders);

private:
    // Unused on Linux.
    [[maybe_unused]] NW_SEND_STATE* m_pState;
    [[maybe_unused]] DWORD m_dwConnectMs;
    [[maybe_unused]] DWORD m_dwReceiveMs;
    [[maybe_unused]] DWORD m_dwSendMs;
};
