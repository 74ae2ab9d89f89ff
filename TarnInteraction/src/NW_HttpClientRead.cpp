// NW_HttpClient: reading the response body into memory, and handing it out.
#include "NW_HttpClient.h"

#include "NW_Log.h"
#include "NW_ResponseGrowth.h"
#include "NW_ResponseHead.h"

#include <cstdint>
#include <cstring>

namespace
{
// 1 when ullNeeded bytes and the terminating 0 fit in the buffer, grown to NW_GrownLength if need be.
int GrowToHold(NW_ByteBuffer& Buffer, std::uint64_t ullNeeded)
{
    return ullNeeded <= Buffer.GetLength() - 1 || Buffer.SetLength(NW_GrownLength(ullNeeded));
}

// The body's length without the bytes beyond the announced length, which are no part of it: Wine's
// WinINet hands them over when the server sends them before it closes.
DWORD WithinAnnounced(DWORD dwSize, NW_ANNOUNCED eAnnounced, std::uint64_t ullAnnounced)
{
    return eAnnounced == eAnnouncedLength && dwSize > ullAnnounced ? static_cast<DWORD>(ullAnnounced)
                                                                   : dwSize;
}
} // namespace

int NW_HttpClient::ReadHttpBuffer()
{
    int nResult = 0;
    int nRetCode = 0;
    DWORD dwRead = 0;
    DWORD dwAsk = 0;
    std::uint64_t ullNeeded = 0;
    std::uint64_t ullAnnounced = 0;
    NW_ANNOUNCED eAnnounced = eAnnouncedNone;
    bool bHeaderLines = false;
    unsigned char byBlock[NW_READ_BLOCK_SIZE];

    NWLOG_PROCESS_ERROR(m_hHttpRequest);
    // A head without a single header line is no HTTP/1.x answer we can trust (see NW_HasHeaderLines),
    // a Content-Length that tells no length leaves the body unframed, and a body announced larger
    // than the buffer can hold would not fit: each fails unread.
    bHeaderLines = NW_HasHeaderLines(m_hHttpRequest);
    eAnnounced = NW_QueryAnnouncedLength(m_hHttpRequest, &ullAnnounced);
    if (!bHeaderLines || eAnnounced == eAnnouncedInvalid)
        SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    NWLOG_PROCESS_ERROR(bHeaderLines);
    NWLOG_PROCESS_ERROR(eAnnounced != eAnnouncedInvalid);
    NWLOG_PROCESS_ERROR(ullAnnounced < NW_MAX_RESPONSE_SIZE);
    m_dwResponseSize = 0;
    nRetCode = m_ResponseBuffer.SetLength(NW_READ_BLOCK_SIZE);
    NWLOG_PROCESS_ERROR(nRetCode);
    do
    {
        // Whole blocks that fit are read straight into the buffer (see NW_DirectReadSize).
        dwAsk = NW_DirectReadSize(m_ResponseBuffer.GetLength(), m_dwResponseSize);
        if (dwAsk != 0)
        {
            nRetCode = InternetReadFile(m_hHttpRequest, m_ResponseBuffer.GetData() + m_dwResponseSize, dwAsk,
                                        &dwRead);
            NWLOG_PROCESS_ERROR(nRetCode);
            NWLOG_PROCESS_ERROR(dwRead <= dwAsk);
            m_dwResponseSize += dwRead;
            continue;
        }
        // Less than a block of room left: one block aside, then grow to twice what is needed.
        nRetCode = InternetReadFile(m_hHttpRequest, byBlock, NW_READ_BLOCK_SIZE - 1, &dwRead);
        NWLOG_PROCESS_ERROR(nRetCode);
        ullNeeded = static_cast<std::uint64_t>(m_dwResponseSize) + dwRead;
        NWLOG_PROCESS_ERROR(ullNeeded < NW_MAX_RESPONSE_SIZE);
        nRetCode = GrowToHold(m_ResponseBuffer, ullNeeded);
        NWLOG_PROCESS_ERROR(nRetCode);
        std::memcpy(m_ResponseBuffer.GetData() + m_dwResponseSize, byBlock, dwRead);
        m_dwResponseSize += dwRead;
    } while (dwRead != 0);
    // A body cut short by a closed connection is a failed transfer, not a shorter success.
    m_dwResponseSize = WithinAnnounced(m_dwResponseSize, eAnnounced, ullAnnounced);
    m_ResponseBuffer.GetData()[m_dwResponseSize] = 0;
    if (eAnnounced == eAnnouncedLength && m_dwResponseSize != ullAnnounced)
        SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
    NWLOG_PROCESS_ERROR(eAnnounced != eAnnouncedLength || m_dwResponseSize == ullAnnounced);

    nResult = 1;
Exit0:
    return nResult;
}

int NW_HttpClient::GetResponse(unsigned char** ppbyBuffer, DWORD* pdwBufferSize)
{
    int nResult = 0;
    int nRetCode = 0;

    NWLOG_PROCESS_ERROR(ppbyBuffer);
    NWLOG_PROCESS_ERROR(pdwBufferSize);
    nRetCode = !m_ResponseBuffer.IsEmpty();
    NWLOG_PROCESS_ERROR(nRetCode);

    *ppbyBuffer = m_ResponseBuffer.GetData();
    *pdwBufferSize = m_dwResponseSize;

    nResult = 1;
Exit0:
    return nResult;
}
