#pragma once

// What the library reads of a response's head before it reads the body.
#include "NW_Platform.h"

#include <cstdint>

// The response's status code.
BOOL NW_QueryStatusCode(HINTERNET hRequest, DWORD* pdwStatusCode);

// Whether the response head holds at least one header line. WinINet takes a reply without a
// status line as an HTTP/0.9 answer and a head cut off in its first line as a complete one,
// both as status 200 with no header lines; a real HTTP/1.x server always sends some. The
// thread's last error is left as it was.
bool NW_HasHeaderLines(HINTERNET hRequest);

enum NW_ANNOUNCED
{
    eAnnouncedNone,   // no Content-Length: the body ends where the framing or the connection ends
    eAnnouncedLength, // every Content-Length line gives the same plain decimal length
    eAnnouncedInvalid // a Content-Length that tells no length, or lengths that differ
};

// The body length the response announces. WinINet reads a Content-Length it cannot parse as if
// it were absent or takes its leading digits, and its reads end quietly when the server closes
// early, so the library checks the framing itself. The thread's last error is left as it was.
NW_ANNOUNCED NW_QueryAnnouncedLength(HINTERNET hRequest, std::uint64_t* pullLength);
