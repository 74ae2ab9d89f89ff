#pragma once

// Where a transfer differs between Windows' WinINet and our Linux layer, one implementation per
// platform: NW_TransferPlatformWindows.cpp and NW_TransferPlatformPosix.cpp. The transfers
// themselves (NW_HttpClientGet.cpp, NW_GetRequest.cpp, NW_HttpClientPost.cpp) are the same
// everywhere; so is NW_SendWatch.h, whose Posix side is a plain send.
#include "NW_Platform.h"

// The largest piece of a POST body that one InternetWriteFile sends.
extern const DWORD NW_POST_WRITE_PIECE_SIZE;
