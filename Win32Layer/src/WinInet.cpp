// WinINet's HTTP subset on libcurl: the functions of Win32Layer/WinInet.h.
//
// Every call returns once what it waits for has happened, as WinINet's synchronous calls do. The
// exchanges themselves run on one network thread for the whole process, in one libcurl multi
// handle whose connections serve later requests from any thread (InetLoop.h); a request handle
// has one easy handle per exchange (InetTransfer.h explains how bodies stream through pausing
// callbacks without being staged). Handles are numbers looked up in a registry
// (InetObjects.h), so a closed or unknown handle fails with ERROR_INVALID_HANDLE and never crashes.
// Every failure sets the thread's last error to WinINet's code; success leaves it alone.
//
// Where libcurl cannot do what WinINet does, this layer differs:
// - Header order on the wire is libcurl's: request line, Host, User-Agent, then the caller's
//   headers in their order, then the no-cache headers. WinINet sends the caller's headers in the
//   order they were added, around its own. The set of headers is the same.
// - Connections are kept and reused across request handles and threads, with libcurl's rules and
//   limits (InetLoop.h), and never after an error, a cut body, an abandoned transfer or a
//   "Connection: close". A request with a body of more than 64 KiB opens a connection of its own,
//   since a body streamed from the caller's writes cannot be sent again if a kept one turns out
//   closed; a smaller one is copied as it is written and may take a kept connection. An
//   HTTP/1.0 request with INTERNET_FLAG_KEEP_CONNECTION sends "Connection: Keep-Alive", as Wine's
//   WinINet does.
// - A 307 or 308 answer to a request with a body is followed only when the body is at most
//   64 KiB: that much is copied while it is written, so it can be sent again. A larger body is
//   never copied, and the 307 or 308 is then handed to the caller as the final answer.
// - An object name containing '#' is sent with it escaped as %23 (libcurl would cut the path
//   there); spaces, control characters and bytes above 127 in addresses go out percent-encoded.
// - Receive and send time-outs limit each wait without bytes moving, measured here from the call
//   on; until the connection stands, the connect time-out counts from the call as well, so the
//   wait for a free connection to the server is part of both. libcurl applies the connect time-out
//   too, from its own start, to name resolution, the proxy's CONNECT and the TLS handshake. A
//   time-out of 0 or 0xFFFFFFFF means no limit (libcurl's own 300 s for connecting).
// - With INTERNET_OPEN_TYPE_PRECONFIG the proxy comes from the environment as libcurl reads it
//   (http_proxy in lower case only, https_proxy/HTTPS_PROXY, all_proxy, no_proxy), looked up
//   at each request rather than once at InternetOpenA. With INTERNET_OPEN_TYPE_PROXY the bypass
//   entry "<local>" is ignored.
// - Certificates are checked against the system's CA bundle with libcurl's rules; the cause of a
//   refusal comes from OpenSSL's verification result, so WinINet's finer distinctions between
//   certificate errors are approximations (unknown CA 12045, date 12037, name 12038, revoked
//   12170, anything else 12055). A server that asks for a client certificate and then ends the
//   exchange gives 12044 (where libcurl runs on OpenSSL). A CA file or directory named in the
//   environment that cannot be read fails an HTTPS exchange with 12157, and
//   InternetGetLastResponseInfoA names it.
// - A Content-Length that is not a decimal number fails HttpSendRequestExA with
//   ERROR_HTTP_INVALID_HEADER; InternetWriteFile beyond the announced length fails with
//   ERROR_INVALID_PARAMETER, and HttpEndRequestA before all of it was written fails with
//   ERROR_INTERNET_INCORRECT_HANDLE_STATE instead of waiting for the server to time out.
// - A caller's "Expect" header is not sent. A user name and password given to InternetConnectA
//   are sent at once (Basic), as those written in an address are; WinINet sends them only when
//   the server asks. INTERNET_FLAG_ASYNC is refused; only synchronous use is supported.
// - InternetCrackUrlA takes no flags and copies only into the caller's buffers (a part asked for
//   without one fails with ERROR_INVALID_PARAMETER); it escapes the address as InternetOpenUrlA
//   does, and without a buffer for the extra part the path carries the query but not the
//   fragment. HttpSendRequestA is HttpSendRequestExA, InternetWriteFile of its optional data and
//   HttpEndRequestA in one call.
// - HttpQueryInfoA knows STATUS_CODE, STATUS_TEXT, VERSION, RAW_HEADERS_CRLF, CONTENT_TYPE,
//   CONTENT_LENGTH, LOCATION and CUSTOM, with FLAG_NUMBER, FLAG_NUMBER64 and
//   FLAG_REQUEST_HEADERS; other levels fail with ERROR_HTTP_INVALID_QUERY_REQUEST.
// - Closing a session or connection leaves the handles opened from it valid until they are
//   closed themselves. Closing a request handle while another thread is inside a call on it makes
//   that call fail with ERROR_INTERNET_OPERATION_CANCELLED.
#include "CurlGlobal.h"
#include "InetObjects.h"
#include "InetRequest.h"
#include "LastResponseInfo.h"
#include "InetUrl.h"

#include "Win32Layer/WinInet.h"

#include <curl/curl.h>

#include <memory>
#include <cstring>
#include <new>
#include <string>

namespace
{
using tarn::inet::HandleKind;
using tarn::inet::InetConnection;
using tarn::inet::InetObject;
using tarn::inet::InetRequest;
using tarn::inet::InetSession;
using tarn::inet::LookupAs;

// Runs the body of a BOOL function: ERROR_SUCCESS gives TRUE, anything else sets the last error
// and gives FALSE. No exception leaves the layer.
template <typename Body> BOOL RunBool(Body&& Run)
{
    DWORD dwError;
    try
    {
        dwError = Run();
    }
    catch (const std::bad_alloc&)
    {
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    }
    catch (...)
    {
        dwError = ERROR_INTERNET_INTERNAL_ERROR;
    }
    if (dwError != ERROR_SUCCESS)
    {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

// The same for functions that open a handle: the body stores it on success.
template <typename Body> HINTERNET RunHandle(Body&& Run)
{
    HINTERNET hResult = nullptr;
    const BOOL bOk = RunBool([&]() -> DWORD { return Run(hResult); });
    return bOk ? hResult : nullptr;
}

bool EqualsNoCase(const char* pszLeft, const char* pszRight)
{
    return tarn::inet::EqualsNoCase(pszLeft, pszRight);
}

// The absolute address of a request opened on a connection. The object is a path: "/" when none
// is given, and always starting with '/'.
std::string RequestUrl(const InetConnection& Connection, LPCSTR lpszObjectName, DWORD dwAllFlags)
{
    std::string Object = lpszObjectName != nullptr ? lpszObjectName : "";
    if (Object.empty() || Object[0] != '/')
        Object.insert(0, "/");
    const bool bSecure = (dwAllFlags & INTERNET_FLAG_SECURE) != 0;
    const INTERNET_PORT nPort = Connection.Port() != INTERNET_INVALID_PORT_NUMBER
                                    ? Connection.Port()
                                    : (bSecure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    std::string Host = Connection.Server();
    if (Host.find(':') != std::string::npos && Host[0] != '[')
        Host = "[" + Host + "]"; // an IPv6 address
    return std::string(bSecure ? "https://" : "http://") + Connection.UserInfo() + Host + ":" +
           std::to_string(nPort) + tarn::inet::EscapeUrlText(Object, true);
}

// A connection's user name and password as an address carries them, "user:password@", so that
// libcurl sends them as an address's own are sent (Basic, to this server only); empty without a
// user name. What ends either part is escaped; an escape the caller wrote ('%') stays one.
std::string UserInfo(LPCSTR lpszUserName, LPCSTR lpszPassword)
{
    if (lpszUserName == nullptr || lpszUserName[0] == '\0')
        return std::string();
    std::string Text = tarn::inet::EscapeUrlText(lpszUserName, ":@/?#");
    if (lpszPassword != nullptr && lpszPassword[0] != '\0')
        Text += ":" + tarn::inet::EscapeUrlText(lpszPassword, "@/?#");
    return Text + "@";
}

// HttpOpenRequestA's accept types as one Accept value; empty when none is given.
std::string AcceptHeader(LPCSTR* lplpszAcceptTypes)
{
    std::string Accept;
    if (lplpszAcceptTypes == nullptr)
        return Accept;
    for (LPCSTR* ppszType = lplpszAcceptTypes; *ppszType != nullptr; ++ppszType)
        if ((*ppszType)[0] != '\0')
            Accept += (Accept.empty() ? "" : ", ") + std::string(*ppszType);
    return Accept;
}

// Runs a call on a request handle: the handle is looked up (a wrong one fails before anything
// else), and each of the request's calls holds its call mutex.
template <typename Action> BOOL RunOnRequest(HINTERNET hRequest, Action&& Act)
{
    return RunBool(
        [&]() -> DWORD
        {
            std::shared_ptr<InetRequest> pRequest;
            const DWORD dwError = LookupAs(hRequest, HandleKind::Request, pRequest);
            if (dwError != ERROR_SUCCESS)
                return dwError;
            return Act(*pRequest);
        });
}

// One part of InternetCrackUrlA's answer: the caller's buffer and its length, and the text.
struct CrackedField
{
    LPSTR pszBuffer;
    DWORD* pdwLength;
    const std::string& Text;
};

// Copies each part asked for (a length that is not 0) into its buffer, with its length; when one
// does not fit, nothing is copied and every such length says what it needs, its NUL counted.
DWORD CopyCracked(const CrackedField* pFields, size_t uCount)
{
    DWORD dwError = ERROR_SUCCESS;
    for (size_t i = 0; i < uCount; ++i)
    {
        const CrackedField& Field = pFields[i];
        if (*Field.pdwLength == 0)
            continue;
        if (Field.pszBuffer == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (Field.Text.size() >= *Field.pdwLength)
        {
            *Field.pdwLength = static_cast<DWORD>(Field.Text.size() + 1);
            dwError = ERROR_INSUFFICIENT_BUFFER;
        }
    }
    for (size_t i = 0; i < uCount && dwError == ERROR_SUCCESS; ++i)
    {
        const CrackedField& Field = pFields[i];
        if (*Field.pdwLength == 0)
            continue;
        std::memcpy(Field.pszBuffer, Field.Text.c_str(), Field.Text.size() + 1);
        *Field.pdwLength = static_cast<DWORD>(Field.Text.size());
    }
    return dwError;
}

} // namespace

extern "C" HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                                   LPCSTR lpszProxyBypass, DWORD dwFlags)
{
    return RunHandle(
        [&](HINTERNET& hSession) -> DWORD
        {
            if (dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG && dwAccessType != INTERNET_OPEN_TYPE_DIRECT &&
                dwAccessType != INTERNET_OPEN_TYPE_PROXY &&
                dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY)
                return ERROR_INVALID_PARAMETER;
            if (dwAccessType == INTERNET_OPEN_TYPE_PROXY && (lpszProxy == nullptr || lpszProxy[0] == '\0'))
                return ERROR_INVALID_PARAMETER;
            if (dwFlags & INTERNET_FLAG_ASYNC)
                return ERROR_INVALID_PARAMETER;
            if (!tarn::inet::InitCurl())
                return ERROR_INTERNET_INTERNAL_ERROR;
            tarn::inet::SetLastResponseInfo(""); // a new session starts without an earlier failure's text

            auto pSettings = std::make_shared<tarn::inet::SessionSettings>();
            pSettings->Agent = lpszAgent != nullptr ? lpszAgent : "";
            pSettings->dwAccessType = dwAccessType;
            if (dwAccessType == INTERNET_OPEN_TYPE_PROXY)
            {
                pSettings->Proxy = lpszProxy;
                pSettings->ProxyBypass = lpszProxyBypass != nullptr ? lpszProxyBypass : "";
            }
            hSession = tarn::inet::RegisterHandle(std::make_shared<InetSession>(std::move(pSettings)));
            return ERROR_SUCCESS;
        });
}

extern "C" BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength)
{
    return RunBool(
        [&]() -> DWORD
        {
            const std::shared_ptr<InetObject> pObject = tarn::inet::LookupHandle(hInternet);
            if (!pObject)
                return ERROR_INVALID_HANDLE;
            switch (dwOption)
            {
            case INTERNET_OPTION_CONNECT_TIMEOUT:
            case INTERNET_OPTION_SEND_TIMEOUT:
            case INTERNET_OPTION_RECEIVE_TIMEOUT:
            {
                if (dwBufferLength != sizeof(DWORD))
                    return ERROR_INTERNET_BAD_OPTION_LENGTH;
                if (lpBuffer == nullptr)
                    return ERROR_INVALID_PARAMETER;
                DWORD dwValue;
                std::memcpy(&dwValue, lpBuffer, sizeof(dwValue));
                pObject->SetTimeout(dwOption, dwValue);
                return ERROR_SUCCESS;
            }
            default:
                return ERROR_INTERNET_INVALID_OPTION;
            }
        });
}

extern "C" HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                                      LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService,
                                      DWORD dwFlags, DWORD_PTR /*dwContext*/)
{
    return RunHandle(
        [&](HINTERNET& hConnect) -> DWORD
        {
            std::shared_ptr<InetSession> pSession;
            const DWORD dwError = LookupAs(hInternet, HandleKind::Session, pSession);
            if (dwError != ERROR_SUCCESS)
                return dwError;
            if (lpszServerName == nullptr || lpszServerName[0] == '\0' || dwService != INTERNET_SERVICE_HTTP)
                return ERROR_INVALID_PARAMETER;
            hConnect = tarn::inet::RegisterHandle(std::make_shared<InetConnection>(
                *pSession, lpszServerName, nServerPort, dwFlags, UserInfo(lpszUserName, lpszPassword)));
            return ERROR_SUCCESS;
        });
}

extern "C" HINTERNET HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                                      LPCSTR lpszVersion, LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes,
                                      DWORD dwFlags, DWORD_PTR /*dwContext*/)
{
    return RunHandle(
        [&](HINTERNET& hRequest) -> DWORD
        {
            std::shared_ptr<InetConnection> pConnection;
            DWORD dwError = LookupAs(hConnect, HandleKind::Connection, pConnection);
            if (dwError != ERROR_SUCCESS)
                return dwError;

            const DWORD dwAllFlags = dwFlags | pConnection->Flags();
            tarn::inet::RequestSetup Setup;
            Setup.pSettings = pConnection->Settings();
            Setup.InitialTimeouts = pConnection->GetTimeouts();
            Setup.Verb = (lpszVerb != nullptr && lpszVerb[0] != '\0') ? lpszVerb : "GET";
            Setup.Url = RequestUrl(*pConnection, lpszObjectName, dwAllFlags);
            Setup.bHttp10 = lpszVersion != nullptr && EqualsNoCase(lpszVersion, "HTTP/1.0");
            Setup.dwFlags = dwAllFlags;
            auto pRequest = std::make_shared<InetRequest>(std::move(Setup));
            dwError = pRequest->Init();
            if (dwError != ERROR_SUCCESS)
                return dwError;

            if (lpszReferrer != nullptr && lpszReferrer[0] != '\0')
                pRequest->AddHeaders((std::string("Referer: ") + lpszReferrer).c_str(),
                                     static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
            const std::string Accept = AcceptHeader(lplpszAcceptTypes);
            if (!Accept.empty())
                pRequest->AddHeaders(("Accept: " + Accept).c_str(), static_cast<DWORD>(-1),
                                     HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
            hRequest = tarn::inet::RegisterHandle(std::move(pRequest));
            return ERROR_SUCCESS;
        });
}

extern "C" BOOL HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                       DWORD dwModifiers)
{
    return RunOnRequest(hRequest,
                        [&](InetRequest& Request) -> DWORD
                        { return Request.AddHeaders(lpszHeaders, dwHeadersLength, dwModifiers); });
}

extern "C" BOOL HttpSendRequestExA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersIn,
                                   LPINTERNET_BUFFERSA /*lpBuffersOut*/, DWORD /*dwFlags*/,
                                   DWORD_PTR /*dwContext*/)
{
    return RunOnRequest(hRequest,
                        [&](InetRequest& Request) -> DWORD { return Request.SendRequest(lpBuffersIn); });
}

extern "C" BOOL InternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                                  LPDWORD lpdwNumberOfBytesWritten)
{
    return RunOnRequest(hFile,
                        [&](InetRequest& Request) -> DWORD
                        {
                            if (lpdwNumberOfBytesWritten == nullptr ||
                                (lpBuffer == nullptr && dwNumberOfBytesToWrite != 0))
                                return ERROR_INVALID_PARAMETER;
                            return Request.Write(lpBuffer, dwNumberOfBytesToWrite, lpdwNumberOfBytesWritten);
                        });
}

extern "C" BOOL HttpEndRequestA(HINTERNET hRequest, LPINTERNET_BUFFERSA /*lpBuffersOut*/, DWORD /*dwFlags*/,
                                DWORD_PTR /*dwContext*/)
{
    return RunOnRequest(hRequest, [&](InetRequest& Request) -> DWORD { return Request.EndRequest(); });
}

extern "C" BOOL InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                  LPURL_COMPONENTSA lpUrlComponents)
{
    return RunBool(
        [&]() -> DWORD
        {
            if (lpszUrl == nullptr || lpUrlComponents == nullptr || dwFlags != 0 ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTSA))
                return ERROR_INVALID_PARAMETER;
            tarn::inet::CrackedUrl Parts;
            const DWORD dwError = tarn::inet::CrackUrl(
                dwUrlLength == 0 ? std::string(lpszUrl) : std::string(lpszUrl, dwUrlLength), Parts);
            if (dwError != ERROR_SUCCESS)
                return dwError;
            URL_COMPONENTSA& Out = *lpUrlComponents;
            // Without a buffer of its own for the extra part, the path carries the query (the
            // fragment is never sent).
            const bool bExtraApart = Out.dwExtraInfoLength != 0;
            const std::string Path = bExtraApart ? Parts.Path : Parts.Path + Parts.Query;
            const std::string Extra = Parts.Query + Parts.Fragment;
            const CrackedField Fields[] = {
                {Out.lpszScheme, &Out.dwSchemeLength, Parts.Scheme},
                {Out.lpszHostName, &Out.dwHostNameLength, Parts.Host},
                {Out.lpszUserName, &Out.dwUserNameLength, Parts.User},
                {Out.lpszPassword, &Out.dwPasswordLength, Parts.Password},
                {Out.lpszUrlPath, &Out.dwUrlPathLength, Path},
                {Out.lpszExtraInfo, &Out.dwExtraInfoLength, Extra},
            };
            Out.nScheme = Parts.eScheme;
            Out.nPort = Parts.nPort;
            return CopyCracked(Fields, sizeof(Fields) / sizeof(Fields[0]));
        });
}

extern "C" BOOL HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                 LPVOID lpOptional, DWORD dwOptionalLength)
{
    return RunOnRequest(hRequest,
                        [&](InetRequest& Request) -> DWORD
                        {
                            if (lpOptional == nullptr && dwOptionalLength != 0)
                                return ERROR_INVALID_PARAMETER;
                            INTERNET_BUFFERSA Buffers;
                            std::memset(&Buffers, 0, sizeof(Buffers));
                            Buffers.dwStructSize = sizeof(Buffers);
                            Buffers.lpcszHeader = lpszHeaders;
                            Buffers.dwHeadersLength = dwHeadersLength;
                            Buffers.lpvBuffer = lpOptional;
                            Buffers.dwBufferLength = dwOptionalLength;
                            Buffers.dwBufferTotal = dwOptionalLength;
                            return Request.SendWhole(Buffers);
                        });
}

extern "C" HINTERNET InternetOpenUrlA(HINTERNET hInternet, LPCSTR lpszUrl, LPCSTR lpszHeaders,
                                      DWORD dwHeadersLength, DWORD dwFlags, DWORD_PTR /*dwContext*/)
{
    return RunHandle(
        [&](HINTERNET& hRequest) -> DWORD
        {
            std::shared_ptr<InetSession> pSession;
            DWORD dwError = LookupAs(hInternet, HandleKind::Session, pSession);
            if (dwError != ERROR_SUCCESS)
                return dwError;
            if (lpszUrl == nullptr)
                return ERROR_INVALID_PARAMETER;
            std::string Url;
            dwError = tarn::inet::PrepareUrl(lpszUrl, Url);
            if (dwError != ERROR_SUCCESS)
                return dwError;

            tarn::inet::RequestSetup Setup;
            Setup.pSettings = pSession->Settings();
            Setup.InitialTimeouts = pSession->GetTimeouts();
            Setup.Verb = "GET";
            Setup.Url = std::move(Url);
            Setup.dwFlags = dwFlags;
            Setup.bFromUrl = true;
            auto pRequest = std::make_shared<InetRequest>(std::move(Setup));
            dwError = pRequest->Init();
            if (dwError == ERROR_SUCCESS && lpszHeaders != nullptr && dwHeadersLength != 0)
                dwError = pRequest->SetUrlHeaders(lpszHeaders, dwHeadersLength);
            if (dwError == ERROR_SUCCESS)
                dwError = pRequest->OpenUrl();
            if (dwError != ERROR_SUCCESS)
                return dwError;
            hRequest = tarn::inet::RegisterHandle(std::move(pRequest));
            return ERROR_SUCCESS;
        });
}

extern "C" BOOL HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                               LPDWORD lpdwBufferLength, LPDWORD lpdwIndex)
{
    return RunOnRequest(hRequest,
                        [&](InetRequest& Request) -> DWORD
                        { return Request.QueryInfo(dwInfoLevel, lpBuffer, lpdwBufferLength, lpdwIndex); });
}

extern "C" BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                                 LPDWORD lpdwNumberOfBytesRead)
{
    return RunOnRequest(hFile,
                        [&](InetRequest& Request) -> DWORD
                        {
                            if (lpdwNumberOfBytesRead == nullptr ||
                                (lpBuffer == nullptr && dwNumberOfBytesToRead != 0))
                                return ERROR_INVALID_PARAMETER;
                            return Request.Read(lpBuffer, dwNumberOfBytesToRead, lpdwNumberOfBytesRead);
                        });
}

extern "C" BOOL InternetCloseHandle(HINTERNET hInternet)
{
    return RunBool(
        [&]() -> DWORD
        {
            const std::shared_ptr<InetObject> pObject = tarn::inet::UnregisterHandle(hInternet);
            if (!pObject)
                return ERROR_INVALID_HANDLE;
            pObject->OnClose();
            return ERROR_SUCCESS;
        });
}
