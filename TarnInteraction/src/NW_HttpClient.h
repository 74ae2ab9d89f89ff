#pragma once

#include "NW_BodyMemory.h"
#include "NW_ByteBuffer.h"
#include "NW_Platform.h"

#include <cstddef>
#include <vector>

enum PostParamType : int
{
    eNormal = 0,     // text field: the value is sent as the part's content
    eBinaryFile = 1, // file upload: the value is the path of a file whose bytes are sent
};

struct PostParam
{
    PostParamType eType;
    char* pszName;  // owned, never empty
    char* pszValue; // owned; a text field's value or a file's path
};

// One job's HTTP work: its form parameters, one GET or multipart POST over WinINet, and the
// response body. Used by one thread at a time; never copied.
class NW_HttpClient
{
public:
    NW_HttpClient();
    ~NW_HttpClient();

    NW_HttpClient(const NW_HttpClient&) = delete;
    NW_HttpClient& operator=(const NW_HttpClient&) = delete;

    // Transfers. Each opens its own handles and closes them all before it returns.
    int RequestPost(const char* cszAddress, const char* cszObjectName, int nPort);
    int RequestGet(const char* cszAddress, const char* cszObjectName);
    int ReadHttpBuffer();
    int GetResponse(unsigned char** ppbyBuffer, DWORD* pdwBufferSize);

    // Form parameters.
    int AddPostParam(PostParamType ePostParamType, const char* cszParamName, const char* cszParamValue);
    int GetPostParam(int nIndex, char** ppszRetParamName, char** ppRetParamValue);
    int ClearPostParam();

    // Builds the multipart/form-data body of the current parameters into a new block that the
    // caller releases with NW_BodyFree.
    int GetPostBuffer(unsigned char** ppbyPostBuffer, DWORD* pdwPostBufferSize);

    int GetPostParamCount() const { return static_cast<int>(m_PostList.size()); }

    // Bookkeeping of the response buffer, for tests and diagnostics.
    size_t GetResponseBufferLength() const { return m_ResponseBuffer.GetLength(); }

private:
    // Closes the open handles in reverse order of opening and sets them back to null.
    void CloseTransferHandles();

    // Ends a failed transfer: logs "Failed to <verb> `<address>`, Error Code <error>." with a password
    // in the address masked, the status when it is not 200 and, if asked, WinINet's extended text;
    // then drops the response and leaves dwError as the thread's last error.
    void EndFailedTransfer(DWORD dwError, const char* cszVerb, const char* cszAddress, DWORD dwStatusCode,
                           bool bResponseInfo);

    HINTERNET m_hInternetSession;
    HINTERNET m_hInternetConnection;
    HINTERNET m_hHttpRequest;
    NW_ByteBuffer m_ResponseBuffer;
    DWORD m_dwResponseSize;
    std::vector<PostParam> m_PostList;
};

// The user agent the transfers name themselves by.
const char NW_AGENT[] = "TarnInteraction";

// Room for a transfer's address as its failure line shows it (a longer one is cut).
const size_t NW_MAX_ADDRESS_SIZE = 1024;

// The multipart boundary, shared by the body and the Content-Type header.
#define NW_POST_BOUNDARY "-------------------------24822581126073"
