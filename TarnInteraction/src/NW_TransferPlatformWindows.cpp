// The transfers on Windows' WinINet (and Wine's).
#include "NW_TransferPlatform.h"

// Wine's WinINet sends each write as one blocking socket send, and one of several MiB to a server
// that has closed or reset may never return: the body goes out in pieces, and the next one fails at
// once.
const DWORD NW_POST_WRITE_PIECE_SIZE = 64 * 1024;
