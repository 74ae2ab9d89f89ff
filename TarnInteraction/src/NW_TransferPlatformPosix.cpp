// The transfers on our Linux layer.
#include "NW_TransferPlatform.h"

// The layer hands the caller's block to libcurl as it goes, under its send time-out: the whole body
// is one write, and the network thread never waits for the next piece.
const DWORD NW_POST_WRITE_PIECE_SIZE = 0xFFFFFFFFu;
