// The transfers on our Linux layer.
#include "NW_TransferPlatform.h"

// The layer hands the caller's block to libcurl as it goes, under its send time-out: the whole body
// is one write, and the network thread never waits for the next piece.
const DWORD NW_POST_WRITE_PIECE_SIZE = 0xFFFFFFFFu;

// The layer passes the session's time-outs on to what InternetOpenUrlA opens.
HINTERNET NW_OpenUrl(HINTERNET hSession, const char* cszUrl, HINTERNET* /*phConnection*/)
{
    return InternetOpenUrlA(
        hSession, cszUrl, NW_GET_EXTRA_HEADERS, static_cast<DWORD>(-1),
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0);
}
