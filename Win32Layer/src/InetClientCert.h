#pragma once

// Whether the server asked for a client certificate, which the layer never has: with TLS 1.3 the
// server's refusal arrives after the client's side of the handshake ended, and libcurl reports it as
// a failed send or receive. OpenSSL tells the client when the request comes; the layer remembers it
// for the easy handle, so that the failure can be named ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED.
#include <curl/curl.h>

namespace tarn
{
namespace inet
{
// Watches the exchange about to run on the handle (forgetting what an earlier one on it saw). Only
// where libcurl runs on OpenSSL; elsewhere the request is never seen.
void WatchClientCertRequest(CURL* pEasy);

// Whether the server asked the handle's exchange for a certificate; forgets it.
bool TakeClientCertRequest(CURL* pEasy);
} // namespace inet
} // namespace tarn
