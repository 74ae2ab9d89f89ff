#pragma once

// An http or https address split into what a connection and a request are opened with.
#include "NW_Platform.h"

// Each part has room for a whole address of the longest a transfer takes (NW_MAX_ADDRESS_SIZE),
// except the host, whose name DNS keeps under 256 characters.
struct NW_URL_PARTS
{
    char szHost[256];
    char szUser[1024];
    char szPassword[1024];
    char szObject[1024]; // the path with the query after it; empty or "/" when there is none
    INTERNET_PORT nPort; // the one written, else the scheme's own
    DWORD dwSecureFlag;  // INTERNET_FLAG_SECURE for https, else 0
};

// Cracks cszUrl with InternetCrackUrlA: 1, or 0 with the last error telling why (any scheme but
// http and https fails with ERROR_INTERNET_UNRECOGNIZED_SCHEME).
int NW_CrackUrl(const char* cszUrl, NW_URL_PARTS* pParts);

// The server a POST connects to. A bare host name is plain HTTP on nPort, as it always was; an
// address written "http://host[:port]" or "https://host[:port]" (a trailing "/" allowed) carries its
// own port, the scheme's when none is written, and https makes the request secure.
struct NW_POST_SERVER
{
    NW_URL_PARTS Url;
    const char* cszHost;
    const char* cszUser;     // null when there is none
    const char* cszPassword; // null when there is none
    INTERNET_PORT nPort;
    DWORD dwSecureFlag;
};

// 1, or 0 with the last error telling why: ERROR_INTERNET_INVALID_URL for an address with a path
// or a query (the object names those), or what NW_CrackUrl reports.
int NW_CrackPostServer(const char* cszAddress, int nPort, NW_POST_SERVER* pServer);
