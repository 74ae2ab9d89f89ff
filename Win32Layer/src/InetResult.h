#pragma once

// libcurl's results, and OpenSSL's verdicts on certificates, as WinINet's error codes.
#include "Win32Layer/WinInet.h"

#include <curl/curl.h>

namespace tarn
{
namespace inet
{
// The WinINet error for how an exchange ended. bConnected tells whether the connection stood (a
// time-out before it is a failure to connect); pEasy, when not null, gives the certificate
// verification result of a refused peer.
DWORD MapCurlResult(CURLcode eResult, bool bConnected, CURL* pEasy);
} // namespace inet
} // namespace tarn
