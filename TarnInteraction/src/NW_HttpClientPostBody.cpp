// NW_HttpClient::GetPostBuffer: the multipart/form-data body of a POST (RFC 7578, framed as RFC
// 2046 section 5.1.1 has it: every delimiter, the closing one included, is CR LF, two hyphens
// and the boundary, and that CR LF belongs to the delimiter, not to the content before it).
//
// The body is built in one block, in two passes over the parameter list:
//   1. sizes: each part's length from its texts and, for a file, the size that the open file
//      reports (the file is opened, measured and closed again; one that does not open counts
//      as empty here and is reported in pass 2);
//   2. writing: the parts go into the block back to back; each file is opened again and read
//      straight into its place, so its bytes are held once.
// A file may change between the two passes. It gets no more room than the first pass found: a
// file that shrank is followed directly by its part's CR LF (the body is as long as what was
// written, never padded with unwritten bytes), a file that grew fails the build.
#include "NW_HttpClient.h"

#include "NW_Log.h"

#include <cstring>
#include <new>

// The body's length goes out as a decimal that must fit a signed 32-bit count, so neither a body
// nor a file in it may pass 2^31 - 1 bytes.
#define NW_POST_BODY_MAX_SIZE 0x7FFFFFFFull

namespace
{
// "--" boundary CR LF, then the Content-Disposition line up to the opening quote of the name.
constexpr char s_szPartHead[] = "--" NW_POST_BOUNDARY "\r\nContent-Disposition: form-data; name=\"";
// A text part: the name's closing quote, the end of the line and the blank line.
constexpr char s_szTextHeadEnd[] = "\"\r\n\r\n";
// A file part: the filename parameter, then the Content-Type line and the blank line.
constexpr char s_szFileNameHead[] = "\"; filename=\"";
constexpr char s_szFileHeadEnd[] = "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
// Every part's content, a file's bytes included, is followed by CR LF; the next delimiter (or the
// closing one) follows it.
constexpr char s_szPartEnd[] = "\r\n";
constexpr char s_szClosing[] = "--" NW_POST_BOUNDARY "--\r\n";
// Two hyphens and the boundary: a delimiter once it starts a line.
constexpr char s_szDashBoundary[] = "--" NW_POST_BOUNDARY;

constexpr size_t PART_HEAD_LEN = sizeof(s_szPartHead) - 1;
constexpr size_t TEXT_HEAD_END_LEN = sizeof(s_szTextHeadEnd) - 1;
constexpr size_t FILE_NAME_HEAD_LEN = sizeof(s_szFileNameHead) - 1;
constexpr size_t FILE_HEAD_END_LEN = sizeof(s_szFileHeadEnd) - 1;
constexpr size_t PART_END_LEN = sizeof(s_szPartEnd) - 1;
constexpr size_t CLOSING_LEN = sizeof(s_szClosing) - 1;
constexpr size_t DASH_BOUNDARY_LEN = sizeof(s_szDashBoundary) - 1;

// Fixed bytes of a text part (besides its name and value), of a file part (besides its name,
// path and file bytes), and of the closing delimiter.
constexpr size_t TEXT_PART_FIXED = PART_HEAD_LEN + TEXT_HEAD_END_LEN + PART_END_LEN;
constexpr size_t FILE_PART_FIXED = PART_HEAD_LEN + FILE_NAME_HEAD_LEN + FILE_HEAD_END_LEN + PART_END_LEN;

static_assert(sizeof(NW_POST_BOUNDARY) - 1 == 39, "the boundary is 39 characters");
static_assert(TEXT_PART_FIXED == 88, "a text part is 88 bytes plus its name and value");
static_assert(FILE_PART_FIXED == 141, "a file part is 141 bytes plus its name, path and file size");
static_assert(CLOSING_LEN == 45, "the closing delimiter is 45 bytes");

constexpr size_t LeadingHyphens(const char* pszText)
{
    size_t uCount = 0;
    while (pszText[uCount] == '-')
        ++uCount;
    return uCount;
}

// The run of hyphens that every "--" boundary starts with: the boundary's 25 and the two before.
constexpr size_t HYPHEN_RUN_LEN = 27;
static_assert(LeadingHyphens(s_szDashBoundary) == HYPHEN_RUN_LEN, "the boundary starts with 25 hyphens");

// True when two hyphens and the boundary start a line anywhere in the data: at its first byte
// (content always follows the CR LF that ends its part's header) or right after a CR or an LF.
// A strict parser ends the part at CR LF "--" boundary; lenient ones, Python's email among them,
// also take a bare CR or LF as the line break before a delimiter, so those count as well.
//
// Every match begins with a run of exactly 27 hyphens, so probing one byte in 27 finds a hyphen
// inside each match; only at such a probe is the run walked back to its start and the match
// compared. Ordinary data costs one byte test per 27 bytes.
bool ContainsDelimiterLine(const void* pvData, size_t uSize)
{
    const unsigned char* pbyData = static_cast<const unsigned char*>(pvData);
    size_t uProbe = HYPHEN_RUN_LEN - 1;

    if (uSize < DASH_BOUNDARY_LEN)
        return false;

    // A match at s covers bytes s to s + 40 and holds a probe at most 26 bytes after s.
    for (; uProbe <= uSize - (DASH_BOUNDARY_LEN - HYPHEN_RUN_LEN + 1); uProbe += HYPHEN_RUN_LEN)
    {
        size_t uStart = uProbe;

        if (pbyData[uProbe] != '-')
            continue;
        while (uStart > 0 && pbyData[uStart - 1] == '-' && uProbe - uStart < HYPHEN_RUN_LEN - 1)
            --uStart;
        if (uStart > 0 && pbyData[uStart - 1] != '\r' && pbyData[uStart - 1] != '\n')
            continue; // not at a line start, or inside a run of more than 27 hyphens
        if (uStart + DASH_BOUNDARY_LEN <= uSize &&
            std::memcmp(pbyData + uStart, s_szDashBoundary, DASH_BOUNDARY_LEN) == 0)
            return true;
    }
    return false;
}

HANDLE OpenUploadFile(const char* pszPath)
{
    return CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, NULL);
}

// The open file's size, high part included so that a file past 4 GiB is seen as such; 0 when
// the size cannot be had (an INVALID_FILE_SIZE that is a failure, not a size).
unsigned long long GetUploadFileSize(HANDLE hFile)
{
    DWORD dwSizeHigh = 0;
    DWORD dwSizeLow = GetFileSize(hFile, &dwSizeHigh);

    if (dwSizeLow == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)
        return 0;
    return (static_cast<unsigned long long>(dwSizeHigh) << 32) | dwSizeLow;
}

unsigned char* PutBytes(unsigned char* pbyCursor, const void* pvData, size_t uSize)
{
    std::memcpy(pbyCursor, pvData, uSize);
    return pbyCursor + uSize;
}
} // namespace

int NW_HttpClient::GetPostBuffer(unsigned char** ppbyPostBuffer, DWORD* pdwPostBufferSize)
{
    int nResult = 0;
    int nRetCode = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD* pdwFileRoom = nullptr; // per entry: the bytes reserved for a file's content
    unsigned char* pbyBody = nullptr;
    unsigned char* pbyCursor = nullptr;
    unsigned long long ullBodySize = 0;
    unsigned long long ullFileSize = 0;
    DWORD dwFileRoom = 0;
    DWORD dwRead = 0;
    size_t uEntry = 0;
    size_t uNameLen = 0;
    size_t uValueLen = 0;
    const char* pszName = nullptr;
    const char* pszValue = nullptr;

    NWLOG_PROCESS_ERROR(ppbyPostBuffer);
    NWLOG_PROCESS_ERROR(pdwPostBufferSize);

    pdwFileRoom = new (std::nothrow) DWORD[m_PostList.size()];
    NWLOG_PROCESS_ERROR(pdwFileRoom);

    // Pass 1: the size of every part, before anything large is allocated.
    for (uEntry = 0; uEntry < m_PostList.size(); ++uEntry)
    {
        pszName = m_PostList[uEntry].pszName;
        pszValue = m_PostList[uEntry].pszValue;
        uNameLen = std::strlen(pszName);
        uValueLen = std::strlen(pszValue);
        pdwFileRoom[uEntry] = 0;

        switch (m_PostList[uEntry].eType)
        {
        case eNormal:
            NWLOG_PROCESS_ERROR(!ContainsDelimiterLine(pszValue, uValueLen));
            ullBodySize += TEXT_PART_FIXED + uNameLen + uValueLen;
            break;

        case eBinaryFile:
            // A file that does not open here is reported when it is read, in pass 2.
            ullFileSize = 0;
            hFile = OpenUploadFile(pszValue);
            if (hFile != INVALID_HANDLE_VALUE)
            {
                ullFileSize = GetUploadFileSize(hFile);
                CloseHandle(hFile);
                hFile = INVALID_HANDLE_VALUE;
            }
            NWLOG_PROCESS_ERROR(ullFileSize <= NW_POST_BODY_MAX_SIZE);
            pdwFileRoom[uEntry] = static_cast<DWORD>(ullFileSize);
            ullBodySize += FILE_PART_FIXED + uNameLen + uValueLen + ullFileSize;
            break;

        default:
            NWLOG_PROCESS_ERROR(false);
        }
    }
    ullBodySize += CLOSING_LEN;
    NWLOG_PROCESS_ERROR(ullBodySize <= NW_POST_BODY_MAX_SIZE);

    // Only the bytes that pass 2 writes are ever sent: no zeroing.
    pbyBody = NW_BodyAlloc(static_cast<size_t>(ullBodySize));
    NWLOG_PROCESS_ERROR(pbyBody);

    // Pass 2: write the parts in list order. The texts are the ones measured in pass 1; a file
    // gets at most its room.
    pbyCursor = pbyBody;
    for (uEntry = 0; uEntry < m_PostList.size(); ++uEntry)
    {
        pszName = m_PostList[uEntry].pszName;
        pszValue = m_PostList[uEntry].pszValue;
        uNameLen = std::strlen(pszName);
        uValueLen = std::strlen(pszValue);

        pbyCursor = PutBytes(pbyCursor, s_szPartHead, PART_HEAD_LEN);
        pbyCursor = PutBytes(pbyCursor, pszName, uNameLen);

        if (m_PostList[uEntry].eType == eNormal)
        {
            pbyCursor = PutBytes(pbyCursor, s_szTextHeadEnd, TEXT_HEAD_END_LEN);
            pbyCursor = PutBytes(pbyCursor, pszValue, uValueLen);
            pbyCursor = PutBytes(pbyCursor, s_szPartEnd, PART_END_LEN);
            continue;
        }

        pbyCursor = PutBytes(pbyCursor, s_szFileNameHead, FILE_NAME_HEAD_LEN);
        pbyCursor = PutBytes(pbyCursor, pszValue, uValueLen);
        pbyCursor = PutBytes(pbyCursor, s_szFileHeadEnd, FILE_HEAD_END_LEN);

        dwFileRoom = pdwFileRoom[uEntry];
        dwRead = 0;
        hFile = OpenUploadFile(pszValue);
        NWLOG_CHECK_ERROR(hFile != INVALID_HANDLE_VALUE);
        if (hFile != INVALID_HANDLE_VALUE)
        {
            ullFileSize = GetUploadFileSize(hFile);
            // Grown since pass 1: its bytes no longer fit, and a cut-off copy would pass for
            // the whole file.
            NWLOG_PROCESS_ERROR(ullFileSize <= dwFileRoom);
            if (ullFileSize > 0)
            {
                nRetCode = ReadFile(hFile, pbyCursor, static_cast<DWORD>(ullFileSize), &dwRead, NULL);
                NWLOG_CHECK_ERROR(nRetCode);
                if (dwRead > ullFileSize)
                    dwRead = static_cast<DWORD>(ullFileSize);
            }
            CloseHandle(hFile);
            hFile = INVALID_HANDLE_VALUE;
        }
        NWLOG_PROCESS_ERROR(!ContainsDelimiterLine(pbyCursor, dwRead));
        pbyCursor += dwRead;
        pbyCursor = PutBytes(pbyCursor, s_szPartEnd, PART_END_LEN);
    }
    pbyCursor = PutBytes(pbyCursor, s_szClosing, CLOSING_LEN);

    *ppbyPostBuffer = pbyBody;
    *pdwPostBufferSize = static_cast<DWORD>(pbyCursor - pbyBody);
    pbyBody = nullptr; // the caller's now

    nResult = 1;
Exit0:
    if (hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(hFile);
        hFile = INVALID_HANDLE_VALUE;
    }
    NW_BodyFree(pbyBody);
    delete[] pdwFileRoom;
    return nResult;
}
