#pragma once

// Which certificate authorities an HTTPS exchange trusts, as users configure them on Linux.
#include "Win32Layer/WinInet.h"

#include <curl/curl.h>

#include <string>

namespace tarn
{
namespace inet
{
// Points an easy handle at the certificates the environment names, as the curl tool and OpenSSL
// read them: CURL_CA_BUNDLE (a PEM file) when set; otherwise SSL_CERT_FILE (a PEM file) and
// SSL_CERT_DIR (hashed directories, joined with ':'). Each one named replaces libcurl's built-in
// default of its kind; with none named, the defaults (the system's store) stay. For an HTTPS Url,
// a named file or directory that cannot be read fails the exchange with
// ERROR_INTERNET_SECURITY_CHANNEL_ERROR and names the path in the thread's response info.
DWORD ApplyTrust(CURL* pEasy, const std::string& Url);
} // namespace inet
} // namespace tarn
