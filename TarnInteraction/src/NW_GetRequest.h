#pragma once

// The GET's connection and request, opened and sent.
#include "NW_Platform.h"

// The header lines the GET adds to its request.
const char NW_GET_EXTRA_HEADERS[] = "Accept: */*\r\n\r\n";

// The GET's request, sent, for the URL cszUrl on the session hSession, whose time-outs are set;
// null on failure, with the last error telling why. The connection it opens is stored in
// *phConnection, also on failure, for the caller to close.
HINTERNET NW_OpenUrl(HINTERNET hSession, const char* cszUrl, HINTERNET* phConnection);
