#pragma once

// The time-outs every transfer runs with, and setting them on a handle.
#include "NW_Platform.h"

// The GET waits this long for the server's data; a POST's server may take longer to answer.
const DWORD NW_GET_RECEIVE_TIMEOUT_MS = 10000;
const DWORD NW_POST_RECEIVE_TIMEOUT_MS = 60000;
const DWORD NW_CONNECT_TIMEOUT_MS = 60000;
const DWORD NW_SEND_TIMEOUT_MS = 60000;

// Sets the connect and send limits and dwReceiveMs on hInternet. Set on every handle of a transfer:
// Microsoft's WinINet passes a session's time-outs on to what is opened from it, Wine's honours only
// those set on the connection or the request, and its defaults leave a send or a receive waiting
// without end.
BOOL NW_SetTimeOuts(HINTERNET hInternet, DWORD dwReceiveMs);
