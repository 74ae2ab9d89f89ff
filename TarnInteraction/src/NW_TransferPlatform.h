#pragma once

// Where a transfer differs between Windows' WinINet and our Linux layer, one implementation per
// platform: NW_TransferPlatformWindows.cpp and NW_TransferPlatformPosix.cpp. The transfers
// themselves (NW_HttpClientGet.cpp, NW_HttpClientPost.cpp) are the same everywhere.
#include "NW_Platform.h"

// The header lines the GET adds to its request.
const char NW_GET_EXTRA_HEADERS[] = "Accept: */*\r\n\r\n";

// The GET's request, sent, for the URL cszUrl on the session hSession, whose time-outs are set;
// null on failure, with the last error telling why. A connection it opens is stored in
// *phConnection, also on failure, for the caller to close.
HINTERNET NW_OpenUrl(HINTERNET hSession, const char* cszUrl, HINTERNET* phConnection);

// The largest piece of a POST body that one InternetWriteFile sends.
extern const DWORD NW_POST_WRITE_PIECE_SIZE;
