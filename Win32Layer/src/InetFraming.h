#pragma once

// The framing rules a final response head must meet before its body is read.
#include "InetHeaders.h"

namespace tarn
{
namespace inet
{
// RFC 9112 section 6.3: a Content-Length that is not a plain decimal number, or several that
// disagree, leave the body's length unknown, and such a response is an error rather than a body
// of a guessed length. Repeated fields, or a list in one field, that all give the same number are
// taken (RFC 9110 section 8.6). ERROR_SUCCESS, or ERROR_HTTP_INVALID_SERVER_RESPONSE.
DWORD CheckFraming(const ResponseHead& Head);
} // namespace inet
} // namespace tarn
