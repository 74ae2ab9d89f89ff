#pragma once

// The subset of WinINet that the library calls, in its ANSI forms, with WinINet's constants
// and error codes.
#include "Win32Layer/WinTypes.h"

typedef void* HINTERNET;
typedef WORD INTERNET_PORT;

#define INTERNET_OPEN_TYPE_PRECONFIG 0u
#define INTERNET_OPEN_TYPE_DIRECT 1u
#define INTERNET_OPEN_TYPE_PROXY 3u
#define INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY 4u

#define INTERNET_FLAG_ASYNC 0x10000000u

#define INTERNET_SERVICE_FTP 1u
#define INTERNET_SERVICE_GOPHER 2u
#define INTERNET_SERVICE_HTTP 3u
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443
#define INTERNET_INVALID_PORT_NUMBER 0

#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u
#define INTERNET_FLAG_PRAGMA_NOCACHE 0x00000100u
#define INTERNET_FLAG_FORMS_SUBMIT 0x00000040u

#define INTERNET_OPTION_CONNECT_TIMEOUT 2u
#define INTERNET_OPTION_SEND_TIMEOUT 5u
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6u

#define HTTP_ADDREQ_FLAG_ADD_IF_NEW 0x10000000u
#define HTTP_ADDREQ_FLAG_ADD 0x20000000u
#define HTTP_ADDREQ_FLAG_COALESCE 0x40000000u
#define HTTP_ADDREQ_FLAG_REPLACE 0x80000000u
#define HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA HTTP_ADDREQ_FLAG_COALESCE
#define HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON 0x01000000u

#define HSR_ASYNC 0x00000001u
#define HSR_SYNC 0x00000004u
#define HSR_USE_CONTEXT 0x00000008u
#define HSR_INITIATE 0x00000008u

#define HTTP_QUERY_CONTENT_TYPE 1u
#define HTTP_QUERY_CONTENT_LENGTH 5u
#define HTTP_QUERY_VERSION 18u
#define HTTP_QUERY_STATUS_CODE 19u
#define HTTP_QUERY_STATUS_TEXT 20u
#define HTTP_QUERY_RAW_HEADERS_CRLF 22u
#define HTTP_QUERY_LOCATION 33u
#define HTTP_QUERY_CUSTOM 65535u
#define HTTP_QUERY_HEADER_MASK 0x0000FFFFu
#define HTTP_QUERY_MODIFIER_FLAGS_MASK 0xFFFF0000u
#define HTTP_QUERY_FLAG_REQUEST_HEADERS 0x80000000u
#define HTTP_QUERY_FLAG_SYSTEMTIME 0x40000000u
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u
#define HTTP_QUERY_FLAG_COALESCE 0x10000000u
#define HTTP_QUERY_FLAG_NUMBER64 0x08000000u

#define HTTP_STATUS_OK 200

#define INTERNET_ERROR_BASE 12000u
#define ERROR_INTERNET_OUT_OF_HANDLES 12001u
#define ERROR_INTERNET_TIMEOUT 12002u
#define ERROR_INTERNET_EXTENDED_ERROR 12003u
#define ERROR_INTERNET_INTERNAL_ERROR 12004u
#define ERROR_INTERNET_INVALID_URL 12005u
#define ERROR_INTERNET_UNRECOGNIZED_SCHEME 12006u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_INVALID_OPTION 12009u
#define ERROR_INTERNET_BAD_OPTION_LENGTH 12010u
#define ERROR_INTERNET_OPERATION_CANCELLED 12017u
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018u
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_INTERNET_CONNECTION_ABORTED 12030u
#define ERROR_INTERNET_CONNECTION_RESET 12031u
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037u
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038u
#define ERROR_INTERNET_SEC_CERT_ERRORS 12055u
#define ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED 12044u
#define ERROR_INTERNET_INVALID_CA 12045u
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157u
#define ERROR_INTERNET_SEC_CERT_REVOKED 12170u
#define ERROR_HTTP_HEADER_NOT_FOUND 12150u
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152u
#define ERROR_HTTP_INVALID_HEADER 12153u
#define ERROR_HTTP_INVALID_QUERY_REQUEST 12154u
#define ERROR_HTTP_HEADER_ALREADY_EXISTS 12155u
#define ERROR_HTTP_REDIRECT_FAILED 12156u

typedef struct _INTERNET_BUFFERSA
{
    DWORD dwStructSize;
    struct _INTERNET_BUFFERSA* Next;
    LPCSTR lpcszHeader;
    DWORD dwHeadersLength;
    DWORD dwHeadersTotal;
    LPVOID lpvBuffer;
    DWORD dwBufferLength;
    DWORD dwBufferTotal;
    DWORD dwOffsetLow;
    DWORD dwOffsetHigh;
} INTERNET_BUFFERSA, *LPINTERNET_BUFFERSA;

typedef enum
{
    INTERNET_SCHEME_UNKNOWN = -1,
    INTERNET_SCHEME_DEFAULT = 0,
    INTERNET_SCHEME_FTP,
    INTERNET_SCHEME_GOPHER,
    INTERNET_SCHEME_HTTP,
    INTERNET_SCHEME_HTTPS,
    INTERNET_SCHEME_FILE
} INTERNET_SCHEME;

typedef struct
{
    DWORD dwStructSize;
    LPSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPSTR lpszUserName;
    DWORD dwUserNameLength;
    LPSTR lpszPassword;
    DWORD dwPasswordLength;
    LPSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTSA, *LPURL_COMPONENTSA;

#ifdef __cplusplus
extern "C"
{
#endif

    HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR lpszProxyBypass,
                            DWORD dwFlags);
    BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
    HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                               LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                               DWORD_PTR dwContext);
    HINTERNET HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR lpszVersion,
                               LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes, DWORD dwFlags,
                               DWORD_PTR dwContext);
    BOOL HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                DWORD dwModifiers);
    BOOL HttpSendRequestExA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersIn,
                            LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags, DWORD_PTR dwContext);
    BOOL InternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                           LPDWORD lpdwNumberOfBytesWritten);
    BOOL HttpEndRequestA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags,
                         DWORD_PTR dwContext);
    BOOL InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                           LPURL_COMPONENTSA lpUrlComponents);
    BOOL HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                          DWORD dwOptionalLength);
    HINTERNET InternetOpenUrlA(HINTERNET hInternet, LPCSTR lpszUrl, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                               DWORD dwFlags, DWORD_PTR dwContext);
    BOOL HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                        LPDWORD lpdwIndex);
    BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                          LPDWORD lpdwNumberOfBytesRead);
    BOOL InternetCloseHandle(HINTERNET hInternet);
    // Why the thread's last exchange failed, where the error code does not say: an unreadable CA
    // file or directory (by path and variable). Empty otherwise.
    BOOL InternetGetLastResponseInfoA(LPDWORD lpdwError, LPSTR lpszBuffer, LPDWORD lpdwBufferLength);

#ifdef __cplusplus
}
#endif
