#include "InetRequest.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
// The largest body kept for sending again after a 307 or 308; a larger one is not copied.
constexpr size_t kReplayLimit = 64 * 1024;
constexpr unsigned kMaxRedirects = 20;

// OpenSSL's certificate verification results (X509_V_ERR_*), as CURLINFO_SSL_VERIFYRESULT gives them.
constexpr long kVerifyOk = 0;
constexpr long kUnableToGetIssuerCert = 2;
constexpr long kCertNotYetValid = 9;
constexpr long kCertHasExpired = 10;
constexpr long kErrorInNotBefore = 13;
constexpr long kErrorInNotAfter = 14;
constexpr long kDepthZeroSelfSigned = 18;
constexpr long kSelfSignedInChain = 19;
constexpr long kUnableToGetIssuerLocally = 20;
constexpr long kUnableToVerifyLeaf = 21;
constexpr long kCertRevoked = 23;
constexpr long kInvalidCa = 24;
constexpr long kCertUntrusted = 27;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;

bool IsUnlimited(DWORD dwMilliseconds)
{
    return dwMilliseconds == 0 || dwMilliseconds == 0xFFFFFFFFu;
}

std::string LowerAscii(std::string Text)
{
    for (char& c : Text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return Text;
}

bool ParseDecimal(const std::string& Text, std::uint64_t& uValue)
{
    size_t uBegin = Text.find_first_not_of(" \t");
    size_t uEnd = Text.find_last_not_of(" \t");
    if (uBegin == std::string::npos)
        return false;
    std::uint64_t uResult = 0;
    for (size_t i = uBegin; i <= uEnd; ++i)
    {
        const char c = Text[i];
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t uDigit = static_cast<std::uint64_t>(c - '0');
        if (uResult > (UINT64_MAX - uDigit) / 10)
            return false;
        uResult = uResult * 10 + uDigit;
    }
    uValue = uResult;
    return true;
}

// Picks the proxy for a scheme out of WinINet's proxy list: entries separated by spaces or
// semicolons, each "scheme=server[:port]" or a plain "server[:port]" for every scheme.
std::string PickProxy(const std::string& List, const std::string& Scheme)
{
    std::string Generic;
    size_t uPos = 0;
    while (uPos < List.size())
    {
        const size_t uEnd = std::min(List.find_first_of(" ;", uPos), List.size());
        const std::string Entry = List.substr(uPos, uEnd - uPos);
        uPos = uEnd + 1;
        if (Entry.empty())
            continue;
        const size_t uEquals = Entry.find('=');
        if (uEquals == std::string::npos)
        {
            if (Generic.empty())
                Generic = Entry;
        }
        else if (LowerAscii(Entry.substr(0, uEquals)) == Scheme)
            return Entry.substr(uEquals + 1);
    }
    return Generic;
}

// WinINet's bypass list in libcurl's no-proxy form. "<local>" has no counterpart and is dropped;
// "*.example.com" becomes "example.com", which libcurl also matches for sub-domains.
std::string BypassToNoProxy(const std::string& List)
{
    std::string Result;
    size_t uPos = 0;
    while (uPos < List.size())
    {
        const size_t uEnd = std::min(List.find_first_of(" ;,", uPos), List.size());
        std::string Entry = List.substr(uPos, uEnd - uPos);
        uPos = uEnd + 1;
        if (Entry.empty() || Entry == "<local>")
            continue;
        if (Entry.compare(0, 2, "*.") == 0)
            Entry.erase(0, 2);
        if (!Result.empty())
            Result += ',';
        Result += Entry;
    }
    return Result;
}

std::string SchemeOf(const std::string& Url)
{
    const size_t uColon = Url.find(':');
    return uColon == std::string::npos ? std::string() : LowerAscii(Url.substr(0, uColon));
}

// Resolves a Location against the address it came from. False when the result is no http or
// https address.
bool ResolveRedirect(const std::string& Base, const std::string& Location, std::string& Target)
{
    CURLU* pUrl = curl_url();
    if (pUrl == nullptr)
        return false;
    bool bOk = false;
    const std::string Escaped = EscapeUrlText(Location, false);
    if (curl_url_set(pUrl, CURLUPART_URL, Base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(pUrl, CURLUPART_URL, Escaped.c_str(), 0) == CURLUE_OK)
    {
        char* pszScheme = nullptr;
        char* pszFull = nullptr;
        if (curl_url_get(pUrl, CURLUPART_SCHEME, &pszScheme, 0) == CURLUE_OK &&
            curl_url_get(pUrl, CURLUPART_URL, &pszFull, 0) == CURLUE_OK)
        {
            const std::string Scheme = LowerAscii(pszScheme);
            if (Scheme == "http" || Scheme == "https")
            {
                Target = pszFull;
                bOk = true;
            }
        }
        curl_free(pszScheme);
        curl_free(pszFull);
    }
    curl_url_cleanup(pUrl);
    return bOk;
}
} // namespace

std::string EscapeUrlText(const std::string& Text, bool bEscapeHash)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(Text.size());
    for (char c : Text)
    {
        const unsigned char uc = static_cast<unsigned char>(c);
        if (uc <= 0x20 || uc >= 0x7F || (bEscapeHash && c == '#'))
        {
            Result += '%';
            Result += s_szHex[uc >> 4];
            Result += s_szHex[uc & 0x0F];
        }
        else
            Result += c;
    }
    return Result;
}

DWORD PrepareUrl(const char* pszUrl, std::string& Prepared)
{
    std::string Url(pszUrl);
    const size_t uBegin = Url.find_first_not_of(" \t\r\n");
    if (uBegin == std::string::npos)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    Url = Url.substr(uBegin, Url.find_last_not_of(" \t\r\n") - uBegin + 1);

    // The scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
    size_t uEnd = 0;
    while (uEnd < Url.size() && (std::isalnum(static_cast<unsigned char>(Url[uEnd])) || Url[uEnd] == '+' ||
                                 Url[uEnd] == '-' || Url[uEnd] == '.'))
        ++uEnd;
    if (uEnd == 0 || uEnd == Url.size() || Url[uEnd] != ':' ||
        !std::isalpha(static_cast<unsigned char>(Url[0])))
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    const std::string Scheme = LowerAscii(Url.substr(0, uEnd));
    if (Scheme != "http" && Scheme != "https")
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    if (Url.compare(uEnd, 3, "://") != 0)
        return ERROR_INTERNET_INVALID_URL;
    Url = Scheme + EscapeUrlText(Url.substr(uEnd), false);

    CURLU* pUrl = curl_url();
    if (pUrl == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD dwError = ERROR_SUCCESS;
    char* pszHost = nullptr;
    if (curl_url_set(pUrl, CURLUPART_URL, Url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(pUrl, CURLUPART_HOST, &pszHost, 0) != CURLUE_OK || pszHost == nullptr ||
        pszHost[0] == '\0')
        dwError = ERROR_INTERNET_INVALID_URL;
    curl_free(pszHost);
    curl_url_cleanup(pUrl);
    if (dwError == ERROR_SUCCESS)
        Prepared = std::move(Url);
    return dwError;
}

InetRequest::InetRequest(RequestSetup Setup)
    : InetObject(HandleKind::Request, Setup.InitialTimeouts), m_pSettings(std::move(Setup.pSettings)),
      m_OpenVerb(std::move(Setup.Verb)), m_OpenUrl(std::move(Setup.Url)), m_bHttp10(Setup.bHttp10),
      m_dwFlags(Setup.dwFlags), m_bFromUrl(Setup.bFromUrl)
{
}

InetRequest::~InetRequest()
{
    StopExchange();
    if (m_pMulti != nullptr)
        curl_multi_cleanup(m_pMulti);
    if (m_pCurlHeaders != nullptr)
        curl_slist_free_all(m_pCurlHeaders);
}

DWORD InetRequest::Init()
{
    m_Window.reserve(CURL_MAX_WRITE_SIZE);
    m_pMulti = curl_multi_init();
    if (m_pMulti == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, 2L);
    return ERROR_SUCCESS;
}

void InetRequest::OnClose()
{
    m_bCancelled = true;
    if (m_pMulti != nullptr)
        curl_multi_wakeup(m_pMulti);
}

DWORD InetRequest::AddHeaders(const char* pszHeaders, DWORD dwLength, DWORD dwModifiers)
{
    if (pszHeaders == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (m_bFromUrl || m_eState == State::Sending || m_eState == State::Receiving)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return m_Headers.ApplyBlock(pszHeaders, dwLength, dwModifiers);
}

DWORD InetRequest::SetUrlHeaders(const char* pszHeaders, DWORD dwLength)
{
    return m_Headers.ApplyBlock(pszHeaders, dwLength, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

DWORD InetRequest::OpenUrl()
{
    m_Verb = "GET";
    m_Url = m_OpenUrl;
    m_ExchangeHeaders = m_Headers;
    m_bHasBody = false;
    m_uBodyLength = 0;
    DWORD dwError = StartExchange();
    if (dwError == ERROR_SUCCESS)
        dwError = AwaitHead();
    if (dwError != ERROR_SUCCESS)
    {
        Fail();
        return dwError;
    }
    m_eState = State::Receiving;
    return ERROR_SUCCESS;
}

DWORD InetRequest::SendRequest(const INTERNET_BUFFERSA* pBuffersIn)
{
    if (m_bFromUrl || m_eState == State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (pBuffersIn != nullptr &&
        (pBuffersIn->dwStructSize != sizeof(INTERNET_BUFFERSA) || pBuffersIn->Next != nullptr))
        return ERROR_INVALID_PARAMETER;

    m_Verb = m_OpenVerb;
    m_Url = m_OpenUrl;
    m_ExchangeHeaders = m_Headers;
    if (pBuffersIn != nullptr && pBuffersIn->lpcszHeader != nullptr)
    {
        // Headers given here count for this send only; a length of 0 means up to the NUL.
        const DWORD dwHeadersLength =
            pBuffersIn->dwHeadersLength == 0 ? static_cast<DWORD>(-1) : pBuffersIn->dwHeadersLength;
        const DWORD dwError = m_ExchangeHeaders.ApplyBlock(pBuffersIn->lpcszHeader, dwHeadersLength,
                                                           HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
        if (dwError != ERROR_SUCCESS)
            return dwError;
    }

    // The body's length comes from the caller's Content-Length, else from dwBufferTotal; every
    // verb but GET and HEAD announces one, if only 0.
    const bool bBodyVerb = m_Verb != "GET" && m_Verb != "HEAD";
    const DWORD dwTotal = pBuffersIn != nullptr ? pBuffersIn->dwBufferTotal : 0;
    if (const HeaderLine* pLength = m_ExchangeHeaders.Find("Content-Length"))
    {
        if (!ParseDecimal(pLength->Value, m_uBodyLength))
            return ERROR_HTTP_INVALID_HEADER;
    }
    else
    {
        m_uBodyLength = dwTotal;
        if (bBodyVerb || dwTotal != 0)
            m_ExchangeHeaders.Add("Content-Length", std::to_string(dwTotal));
    }
    m_bHasBody = bBodyVerb || m_uBodyLength != 0;
    m_uBodyWritten = 0;
    m_Replay.clear();
    m_bKeepReplay = m_bHasBody && m_uBodyLength <= kReplayLimit;
    m_bReplaying = false;
    m_uRedirects = 0;
    m_dwReadError = ERROR_SUCCESS;
    m_Head = ResponseHead();

    DWORD dwError = StartExchange();
    if (dwError == ERROR_SUCCESS)
    {
        m_eState = State::Sending;
        // Returns once the request head is on its way: when libcurl first asks for body bytes, or,
        // with no body, once the connection stands.
        dwError = Drive(
            [this] {
                return m_bUploadAsked || (m_bConnected && m_uBodyLength == 0) || m_bHeadDone ||
                       m_bRedirectPending;
            },
            GetTimeouts().dwSendMs);
    }
    if (dwError != ERROR_SUCCESS)
    {
        Fail();
        return dwError;
    }
    if (pBuffersIn != nullptr && pBuffersIn->lpvBuffer != nullptr && pBuffersIn->dwBufferLength != 0)
    {
        DWORD dwWritten = 0;
        return Write(pBuffersIn->lpvBuffer, pBuffersIn->dwBufferLength, &dwWritten);
    }
    return ERROR_SUCCESS;
}

DWORD InetRequest::Write(const void* pData, DWORD dwLength, DWORD* pdwWritten)
{
    *pdwWritten = 0;
    if (m_eState != State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (dwLength == 0)
        return ERROR_SUCCESS;
    if (dwLength > m_uBodyLength - m_uBodyWritten)
        return ERROR_INVALID_PARAMETER; // more than the Content-Length announced
    if (m_bHeadDone || m_bRedirectPending)
    {
        // The server has answered before the body was complete; the rest is not wanted.
        m_uBodyWritten += dwLength;
        *pdwWritten = dwLength;
        return ERROR_SUCCESS;
    }

    if (m_bKeepReplay)
        m_Replay.append(static_cast<const char*>(pData), dwLength);
    m_pSource = static_cast<const unsigned char*>(pData);
    m_uSourceLength = dwLength;
    m_uSourcePos = 0;
    ResumeSending();
    const DWORD dwError =
        Drive([this] { return m_uSourcePos == m_uSourceLength || m_bHeadDone || m_bRedirectPending; },
              GetTimeouts().dwSendMs);
    // The caller's buffer is theirs again once this call returns.
    m_pSource = nullptr;
    m_uSourceLength = 0;
    m_uSourcePos = 0;
    if (dwError != ERROR_SUCCESS)
    {
        Fail();
        return dwError;
    }
    m_uBodyWritten += dwLength;
    *pdwWritten = dwLength;
    return ERROR_SUCCESS;
}

DWORD InetRequest::EndRequest()
{
    if (m_eState != State::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (m_uBodyWritten < m_uBodyLength && !m_bHeadDone && !m_bRedirectPending)
    {
        // The body is shorter than its Content-Length: the server would wait for the rest.
        Fail();
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    }
    const DWORD dwError = AwaitHead();
    if (dwError != ERROR_SUCCESS)
    {
        Fail();
        return dwError;
    }
    m_eState = State::Receiving;
    return ERROR_SUCCESS;
}

DWORD InetRequest::Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead)
{
    *pdwRead = 0;
    if (m_dwReadError != ERROR_SUCCESS)
        return m_dwReadError;
    if (m_eState != State::Receiving)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;

    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    size_t uDone = TakeFromWindow(pOut, dwToRead);
    if (uDone < dwToRead && !m_bFinished)
    {
        m_pTarget = pOut + uDone;
        m_uTargetSize = dwToRead - uDone;
        m_uTargetFilled = 0;
        ResumeReceiving();
        const DWORD dwError =
            Drive([this] { return m_uTargetFilled == m_uTargetSize; }, GetTimeouts().dwReceiveMs);
        uDone += m_uTargetFilled;
        m_pTarget = nullptr;
        m_uTargetSize = 0;
        m_uTargetFilled = 0;
        if (dwError != ERROR_SUCCESS)
        {
            m_dwReadError = dwError;
            StopExchange();
        }
    }
    if (m_dwReadError == ERROR_SUCCESS && m_bFinished && m_eResult != CURLE_OK &&
        m_uWindowPos == m_Window.size())
        m_dwReadError = m_dwResultError;
    // Bytes that arrived before a failure are handed out first; the next call reports it.
    if (m_dwReadError != ERROR_SUCCESS && uDone == 0)
        return m_dwReadError;
    *pdwRead = static_cast<DWORD>(uDone);
    return ERROR_SUCCESS;
}

DWORD InetRequest::QueryInfo(DWORD dwInfoLevel, void* pBuffer, DWORD* pdwLength, DWORD* pdwIndex)
{
    if (pdwLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    const DWORD dwLevel = dwInfoLevel & HTTP_QUERY_HEADER_MASK;
    const DWORD dwModifiers = dwInfoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
    const bool bRequest = (dwModifiers & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
    const bool bNumber = (dwModifiers & HTTP_QUERY_FLAG_NUMBER) != 0;
    const bool bNumber64 = (dwModifiers & HTTP_QUERY_FLAG_NUMBER64) != 0;
    if ((dwModifiers &
         ~(HTTP_QUERY_FLAG_REQUEST_HEADERS | HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) ||
        (bNumber && bNumber64))
        return ERROR_HTTP_INVALID_QUERY_REQUEST;
    if (!bRequest && !m_bHeadDone)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;

    const size_t uIndex = pdwIndex != nullptr ? *pdwIndex : 0;
    std::string Value;
    std::string Name;
    switch (dwLevel)
    {
    case HTTP_QUERY_STATUS_CODE:
        if (bRequest)
            return ERROR_HTTP_INVALID_QUERY_REQUEST;
        Value = std::to_string(m_Head.dwStatus);
        break;
    case HTTP_QUERY_STATUS_TEXT:
        if (bRequest)
            return ERROR_HTTP_INVALID_QUERY_REQUEST;
        Value = m_Head.StatusText;
        break;
    case HTTP_QUERY_VERSION:
        Value = bRequest ? std::string(m_bHttp10 ? "HTTP/1.0" : "HTTP/1.1") : m_Head.Version;
        break;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        Value = bRequest ? RequestHeadText() : m_Head.Raw;
        break;
    case HTTP_QUERY_CONTENT_TYPE:
        Name = "Content-Type";
        break;
    case HTTP_QUERY_CONTENT_LENGTH:
        Name = "Content-Length";
        break;
    case HTTP_QUERY_LOCATION:
        Name = "Location";
        break;
    case HTTP_QUERY_CUSTOM:
    {
        if (pBuffer == nullptr)
            return ERROR_INVALID_PARAMETER;
        const char* pszName = static_cast<const char*>(pBuffer);
        Name.assign(pszName, strnlen(pszName, *pdwLength));
        const size_t uColon = Name.find(':');
        if (uColon != std::string::npos)
            Name.resize(uColon);
        if (Name.empty())
            return ERROR_HTTP_HEADER_NOT_FOUND;
        break;
    }
    default:
        return ERROR_HTTP_INVALID_QUERY_REQUEST;
    }
    if (!Name.empty())
    {
        const HeaderLine* pHeader =
            bRequest ? m_Headers.Find(Name, uIndex) : FindResponseHeader(Name, uIndex);
        if (pHeader == nullptr)
            return ERROR_HTTP_HEADER_NOT_FOUND;
        Value = pHeader->Value;
    }

    if (bNumber || bNumber64)
    {
        const DWORD dwSize = bNumber64 ? 8 : 4;
        if (pBuffer == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (*pdwLength < dwSize)
        {
            *pdwLength = dwSize;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::uint64_t uNumber = 0;
        if (!ParseDecimal(Value, uNumber) || (!bNumber64 && uNumber > 0xFFFFFFFFu))
            return ERROR_HTTP_INVALID_HEADER;
        if (bNumber64)
            std::memcpy(pBuffer, &uNumber, 8);
        else
        {
            const DWORD dwNumber = static_cast<DWORD>(uNumber);
            std::memcpy(pBuffer, &dwNumber, 4);
        }
        *pdwLength = dwSize;
    }
    else
    {
        // As WinINet: a short buffer gets the length needed with its NUL; success gives the length
        // without it.
        const size_t uNeeded = Value.size() + 1;
        if (pBuffer == nullptr || *pdwLength < uNeeded)
        {
            *pdwLength = static_cast<DWORD>(uNeeded);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(pBuffer, Value.c_str(), uNeeded);
        *pdwLength = static_cast<DWORD>(Value.size());
    }
    if (!Name.empty() && pdwIndex != nullptr)
        ++*pdwIndex;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The exchange

DWORD InetRequest::StartExchange()
{
    StopExchange();
    m_bConnected = false;
    m_bUploadAsked = false;
    m_bFinished = false;
    m_eResult = CURLE_OK;
    m_dwResultError = ERROR_SUCCESS;
    m_bRecvPaused = false;
    m_bSendPaused = false;
    m_uBytesIn = 0;
    m_uBodySent = 0;
    m_uReplayPos = 0;
    m_Pending = ResponseHead();
    m_bHeadDone = false;
    m_bRedirectPending = false;
    m_Location.clear();
    m_Window.clear();
    m_uWindowPos = 0;

    if (m_pCurlHeaders != nullptr)
    {
        curl_slist_free_all(m_pCurlHeaders);
        m_pCurlHeaders = nullptr;
    }
    m_pCurlHeaders = BuildCurlHeaders();
    m_pEasy = curl_easy_init();
    if (m_pEasy == nullptr || m_pCurlHeaders == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;

    const Timeouts Limits = GetTimeouts();
    CURL* const pEasy = m_pEasy;
    if (curl_easy_setopt(pEasy, CURLOPT_URL, m_Url.c_str()) != CURLE_OK)
        return ERROR_NOT_ENOUGH_MEMORY;
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pEasy, CURLOPT_HTTP_VERSION,
                     static_cast<long>(m_bHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
    // WinINet asks for no compression and hands the body over as sent; chunks are decoded.
    curl_easy_setopt(pEasy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(pEasy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PATH_AS_IS, 1L);
    if (!IsUnlimited(Limits.dwConnectMs))
        curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Limits.dwConnectMs));
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, &InetRequest::OnHeaderData);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, &InetRequest::OnBodyData);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_READFUNCTION, &InetRequest::OnUploadData);
    curl_easy_setopt(pEasy, CURLOPT_READDATA, this);
    curl_easy_setopt(pEasy, CURLOPT_PREREQFUNCTION, &InetRequest::OnConnected);
    curl_easy_setopt(pEasy, CURLOPT_PREREQDATA, this);
    if (!m_pSettings->Agent.empty())
        curl_easy_setopt(pEasy, CURLOPT_USERAGENT, m_pSettings->Agent.c_str());
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, m_pCurlHeaders);

    // Proxies: none for DIRECT, the given list for PROXY; for PRECONFIG libcurl reads http_proxy,
    // https_proxy, all_proxy and no_proxy from the environment, where WinINet falls back to them.
    if (m_pSettings->dwAccessType == INTERNET_OPEN_TYPE_DIRECT)
        curl_easy_setopt(pEasy, CURLOPT_PROXY, "");
    else if (m_pSettings->dwAccessType == INTERNET_OPEN_TYPE_PROXY)
    {
        const std::string Proxy = PickProxy(m_pSettings->Proxy, SchemeOf(m_Url));
        curl_easy_setopt(pEasy, CURLOPT_PROXY, Proxy.c_str());
        const std::string NoProxy = BypassToNoProxy(m_pSettings->ProxyBypass);
        curl_easy_setopt(pEasy, CURLOPT_NOPROXY, NoProxy.c_str());
    }

    if (!m_bHasBody)
    {
        if (m_Verb == "HEAD")
            curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
        else
        {
            curl_easy_setopt(pEasy, CURLOPT_HTTPGET, 1L);
            if (m_Verb != "GET")
                curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, m_Verb.c_str());
        }
    }
    else
    {
        // The body comes through the read callback; its size is the caller's Content-Length,
        // which goes out as the caller wrote it (a Content-Length of their own stops libcurl from
        // adding one).
        curl_easy_setopt(pEasy, CURLOPT_POST, 1L);
        curl_easy_setopt(pEasy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_uBodyLength));
        if (m_Verb != "POST")
            curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, m_Verb.c_str());
    }

    if (curl_multi_add_handle(m_pMulti, pEasy) != CURLM_OK)
        return ERROR_INTERNET_INTERNAL_ERROR;
    m_bAttached = true;
    return ERROR_SUCCESS;
}

curl_slist* InetRequest::BuildCurlHeaders() const
{
    std::vector<std::string> Lines;
    for (const HeaderLine& Header : m_ExchangeHeaders.Lines())
    {
        // libcurl waits for a 100 Continue when asked with Expect; WinINet never does.
        if (EqualsNoCase(Header.Name, "Expect"))
            continue;
        // "Name;" is libcurl's way of sending a header with an empty value.
        Lines.push_back(Header.Value.empty() ? Header.Name + ";" : Header.Name + ": " + Header.Value);
    }
    // Headers that WinINet sends for the no-cache flags, unless the caller set them.
    if (m_dwFlags & (INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE))
    {
        if (!m_ExchangeHeaders.Has("Pragma"))
            Lines.push_back("Pragma: no-cache");
        if (!m_ExchangeHeaders.Has("Cache-Control"))
            Lines.push_back("Cache-Control: no-cache");
    }
    // "Name:" removes a header that libcurl would add by itself.
    if (!m_ExchangeHeaders.Has("Accept"))
        Lines.push_back("Accept:");
    if (m_bHasBody && !m_ExchangeHeaders.Has("Content-Type"))
        Lines.push_back("Content-Type:");
    Lines.push_back("Expect:");

    curl_slist* pList = nullptr;
    for (const std::string& Line : Lines)
    {
        curl_slist* pNext = curl_slist_append(pList, Line.c_str());
        if (pNext == nullptr)
        {
            curl_slist_free_all(pList);
            return nullptr;
        }
        pList = pNext;
    }
    return pList;
}

void InetRequest::StopExchange()
{
    if (m_pEasy == nullptr)
        return;
    if (m_bAttached)
    {
        curl_multi_remove_handle(m_pMulti, m_pEasy);
        m_bAttached = false;
    }
    curl_easy_cleanup(m_pEasy);
    m_pEasy = nullptr;
    if (!m_bFinished)
    {
        m_bFinished = true;
        m_eResult = CURLE_ABORTED_BY_CALLBACK;
        m_dwResultError = ERROR_INTERNET_OPERATION_CANCELLED;
    }
    m_bRecvPaused = false;
    m_bSendPaused = false;
}

void InetRequest::Fail()
{
    StopExchange();
    m_eState = State::Failed;
}

template <typename Ready> DWORD InetRequest::Drive(Ready IsReady, DWORD dwIdleLimitMs)
{
    using Clock = std::chrono::steady_clock;
    const bool bLimited = !IsUnlimited(dwIdleLimitMs);
    std::uint64_t uLastProgress = Progress();
    Clock::time_point LastChange = Clock::now();
    for (;;)
    {
        if (m_bCancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        if (m_bAttached)
        {
            int nRunning = 0;
            if (curl_multi_perform(m_pMulti, &nRunning) != CURLM_OK)
                return ERROR_INTERNET_INTERNAL_ERROR;
            CollectResult();
        }
        if (IsReady())
            return ERROR_SUCCESS;
        if (m_bFinished)
            return m_eResult == CURLE_OK ? ERROR_SUCCESS : m_dwResultError;

        // The time-outs limit each wait for the peer, not the whole exchange: any byte that moves
        // starts the count again. Until the connection stands, libcurl's connect time-out rules.
        const Clock::time_point Now = Clock::now();
        const std::uint64_t uProgress = Progress();
        if (uProgress != uLastProgress || !m_bConnected)
        {
            uLastProgress = uProgress;
            LastChange = Now;
        }
        long long llWaitMs = 1000;
        if (bLimited)
        {
            const long long llIdleMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Now - LastChange).count();
            if (llIdleMs >= static_cast<long long>(dwIdleLimitMs))
                return ERROR_INTERNET_TIMEOUT;
            llWaitMs = std::min<long long>(llWaitMs, static_cast<long long>(dwIdleLimitMs) - llIdleMs);
        }
        if (curl_multi_poll(m_pMulti, nullptr, 0, static_cast<int>(std::max<long long>(llWaitMs, 1)),
                            nullptr) != CURLM_OK)
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

DWORD InetRequest::AwaitHead()
{
    for (;;)
    {
        const DWORD dwError =
            Drive([this] { return m_bHeadDone || m_bRedirectPending; }, GetTimeouts().dwReceiveMs);
        if (dwError != ERROR_SUCCESS)
            return dwError;
        if (m_bHeadDone)
            return ERROR_SUCCESS;
        if (!m_bRedirectPending)
            return ERROR_HTTP_INVALID_SERVER_RESPONSE; // ended without a head
        const DWORD dwRedirectError = FollowRedirect();
        if (dwRedirectError != ERROR_SUCCESS)
            return dwRedirectError;
    }
}

DWORD InetRequest::FollowRedirect()
{
    if (++m_uRedirects > kMaxRedirects)
        return ERROR_HTTP_REDIRECT_FAILED;
    std::string Target;
    if (!ResolveRedirect(m_Url, m_Location, Target))
        return ERROR_HTTP_REDIRECT_FAILED;

    // 303 turns everything but HEAD into a GET, 301 and 302 turn a POST into a GET; 307 and 308
    // repeat the request as it was, body included.
    const DWORD dwStatus = m_Pending.dwStatus;
    const bool bToGet =
        (dwStatus == 303 && m_Verb != "HEAD") || ((dwStatus == 301 || dwStatus == 302) && m_Verb == "POST");
    if (bToGet)
    {
        m_Verb = "GET";
        m_bHasBody = false;
        m_uBodyLength = 0;
        m_bKeepReplay = false;
        m_Replay.clear();
        m_bReplaying = false;
        m_ExchangeHeaders.RemoveAll("Content-Length");
        m_ExchangeHeaders.RemoveAll("Content-Type");
    }
    else if (m_bHasBody)
        m_bReplaying = true;
    m_Url = Target;
    return StartExchange();
}

void InetRequest::CollectResult()
{
    int nQueued = 0;
    while (CURLMsg* pMessage = curl_multi_info_read(m_pMulti, &nQueued))
    {
        if (pMessage->msg == CURLMSG_DONE && pMessage->easy_handle == m_pEasy)
        {
            m_bFinished = true;
            m_eResult = pMessage->data.result;
            m_dwResultError = MapResult(m_eResult);
        }
    }
}

DWORD InetRequest::MapResult(CURLcode eResult) const
{
    switch (eResult)
    {
    case CURLE_OK:
        return ERROR_SUCCESS;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // After connecting this is libcurl refusing a reply that has no HTTP head.
        return m_bConnected ? ERROR_HTTP_INVALID_SERVER_RESPONSE : ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
        return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return m_bConnected ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP_RETURNED_ERROR:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_PEER_FAILED_VERIFICATION:
    {
        long lVerify = kVerifyOk;
        if (m_pEasy != nullptr)
            curl_easy_getinfo(m_pEasy, CURLINFO_SSL_VERIFYRESULT, &lVerify);
        switch (lVerify)
        {
        case kVerifyOk: // libcurl's own check of the name failed
        case kHostnameMismatch:
        case kIpAddressMismatch:
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case kCertNotYetValid:
        case kCertHasExpired:
        case kErrorInNotBefore:
        case kErrorInNotAfter:
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        case kUnableToGetIssuerCert:
        case kDepthZeroSelfSigned:
        case kSelfSignedInChain:
        case kUnableToGetIssuerLocally:
        case kUnableToVerifyLeaf:
        case kInvalidCa:
        case kCertUntrusted:
            return ERROR_INTERNET_INVALID_CA;
        case kCertRevoked:
            return ERROR_INTERNET_SEC_CERT_REVOKED;
        default:
            return ERROR_INTERNET_SEC_CERT_ERRORS;
        }
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

std::uint64_t InetRequest::Progress() const
{
    if (m_pEasy == nullptr)
        return m_uBytesIn;
    curl_off_t llUploaded = 0;
    long lRequestHead = 0;
    curl_easy_getinfo(m_pEasy, CURLINFO_SIZE_UPLOAD_T, &llUploaded);
    curl_easy_getinfo(m_pEasy, CURLINFO_REQUEST_SIZE, &lRequestHead);
    return m_uBytesIn + static_cast<std::uint64_t>(llUploaded) + static_cast<std::uint64_t>(lRequestHead);
}

void InetRequest::ResumeReceiving()
{
    if (!m_bRecvPaused || !m_bAttached)
        return;
    // libcurl may hand over the bytes it held back from inside this call, and pause again.
    m_bRecvPaused = false;
    curl_easy_pause(m_pEasy, m_bSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
}

void InetRequest::ResumeSending()
{
    if (!m_bSendPaused || !m_bAttached)
        return;
    m_bSendPaused = false;
    curl_easy_pause(m_pEasy, m_bRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
}

size_t InetRequest::TakeFromWindow(unsigned char* pOut, size_t uMax)
{
    const size_t uCount = std::min(uMax, m_Window.size() - m_uWindowPos);
    if (uCount != 0)
        std::memcpy(pOut, m_Window.data() + m_uWindowPos, uCount);
    m_uWindowPos += uCount;
    if (m_uWindowPos == m_Window.size())
    {
        m_Window.clear(); // keeps its capacity
        m_uWindowPos = 0;
    }
    return uCount;
}

void InetRequest::OnHeadComplete()
{
    const DWORD dwStatus = m_Pending.dwStatus;
    if (dwStatus < 200)
    {
        // 100 Continue and the other interim answers: the real head follows.
        m_Pending = ResponseHead();
        return;
    }
    const bool bRedirect =
        dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 || dwStatus == 308;
    if (bRedirect && !(m_dwFlags & INTERNET_FLAG_NO_AUTO_REDIRECT))
    {
        const HeaderLine* pLocation = nullptr;
        for (const HeaderLine& Header : m_Pending.Headers)
            if (EqualsNoCase(Header.Name, "Location"))
            {
                pLocation = &Header;
                break;
            }
        // A 307 or 308 sends the body again, which works only while a copy of all of it is at hand.
        const bool bKeepsBody = dwStatus == 307 || dwStatus == 308;
        const bool bCanFollow =
            !bKeepsBody || !m_bHasBody ||
            (m_bKeepReplay && m_Replay.size() == m_uBodyLength && m_uBodyWritten == m_uBodyLength);
        if (pLocation != nullptr && !pLocation->Value.empty() && bCanFollow)
        {
            m_Location = pLocation->Value;
            m_bRedirectPending = true;
            return;
        }
    }
    m_Head = std::move(m_Pending);
    m_Pending = ResponseHead();
    m_bHeadDone = true;
}

const HeaderLine* InetRequest::FindResponseHeader(const std::string& Name, size_t uIndex) const
{
    for (const HeaderLine& Header : m_Head.Headers)
        if (EqualsNoCase(Header.Name, Name) && uIndex-- == 0)
            return &Header;
    return nullptr;
}

std::string InetRequest::RequestHeadText() const
{
    // The object: the address from the first '/' after the host.
    const size_t uHostStart = m_OpenUrl.find("://");
    const size_t uPath =
        uHostStart == std::string::npos ? std::string::npos : m_OpenUrl.find('/', uHostStart + 3);
    const std::string Object = uPath == std::string::npos ? std::string("/") : m_OpenUrl.substr(uPath);
    std::string Text = m_OpenVerb + " " + Object + (m_bHttp10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    for (const HeaderLine& Header : m_Headers.Lines())
        Text += Header.Name + ": " + Header.Value + "\r\n";
    return Text + "\r\n";
}

// ---------------------------------------------------------------------------------------------
// libcurl's callbacks. They run on the calling thread, inside curl_multi_perform or curl_easy_pause.

size_t InetRequest::OnHeaderData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetRequest* const pThis = static_cast<InetRequest*>(pUser);
    const size_t uLength = uSize * uCount;
    try
    {
        pThis->m_uBytesIn += uLength;
        // Trailers after a chunked body, or the rest of a head that is being left for a redirect.
        if (pThis->m_bHeadDone || pThis->m_bRedirectPending)
            return uLength;

        std::string Line(pData, uLength);
        while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
            Line.pop_back();
        ResponseHead& Head = pThis->m_Pending;
        if (Line.compare(0, 5, "HTTP/") == 0)
        {
            Head = ResponseHead();
            const size_t uSpace = Line.find(' ');
            Head.Version = Line.substr(0, uSpace);
            if (uSpace != std::string::npos)
            {
                std::uint64_t uStatus = 0;
                const size_t uTextStart = Line.find(' ', uSpace + 1);
                if (ParseDecimal(Line.substr(uSpace + 1, uTextStart - uSpace - 1), uStatus) && uStatus < 1000)
                    Head.dwStatus = static_cast<DWORD>(uStatus);
                if (uTextStart != std::string::npos)
                    Head.StatusText = Line.substr(uTextStart + 1);
            }
        }
        else if (Line.empty())
        {
            Head.Raw += "\r\n";
            pThis->OnHeadComplete();
            return uLength;
        }
        else if ((Line[0] == ' ' || Line[0] == '\t') && !Head.Headers.empty())
        {
            // A folded line continues the value of the header before it.
            const size_t uText = Line.find_first_not_of(" \t");
            if (uText != std::string::npos)
                Head.Headers.back().Value += " " + Line.substr(uText);
        }
        else
        {
            HeaderLine Header;
            if (ParseHeaderLine(Line, Header))
                Head.Headers.push_back(std::move(Header));
        }
        Head.Raw += Line + "\r\n";
        return uLength;
    }
    catch (...)
    {
        return 0; // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
}

size_t InetRequest::OnBodyData(char* pData, size_t uSize, size_t uCount, void* pUser)
{
    InetRequest* const pThis = static_cast<InetRequest*>(pUser);
    const size_t uLength = uSize * uCount;
    if (pThis->m_bRedirectPending)
        return uLength; // the body of a redirect is not wanted
    if (pThis->m_uWindowPos < pThis->m_Window.size())
    {
        // The window is still full: hold the transfer until the caller reads again. libcurl keeps
        // these bytes and offers them once more after curl_easy_pause.
        pThis->m_bRecvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t uDirect = 0;
    if (pThis->m_pTarget != nullptr)
    {
        uDirect = std::min(uLength, pThis->m_uTargetSize - pThis->m_uTargetFilled);
        std::memcpy(pThis->m_pTarget + pThis->m_uTargetFilled, pData, uDirect);
        pThis->m_uTargetFilled += uDirect;
    }
    if (uDirect < uLength)
    {
        try
        {
            pThis->m_Window.assign(pData + uDirect, pData + uLength);
        }
        catch (...)
        {
            return 0;
        }
        pThis->m_uWindowPos = 0;
    }
    pThis->m_uBytesIn += uLength;
    return uLength;
}

size_t InetRequest::OnUploadData(char* pBuffer, size_t uSize, size_t uCount, void* pUser)
{
    InetRequest* const pThis = static_cast<InetRequest*>(pUser);
    const size_t uCapacity = uSize * uCount;
    pThis->m_bUploadAsked = true;
    const std::uint64_t uRemaining = pThis->m_uBodyLength - pThis->m_uBodySent;
    if (uRemaining == 0)
        return 0;
    size_t uGiven = 0;
    if (pThis->m_bReplaying)
    {
        uGiven = static_cast<size_t>(
            std::min<std::uint64_t>({uCapacity, uRemaining, pThis->m_Replay.size() - pThis->m_uReplayPos}));
        std::memcpy(pBuffer, pThis->m_Replay.data() + pThis->m_uReplayPos, uGiven);
        pThis->m_uReplayPos += uGiven;
    }
    else if (pThis->m_pSource != nullptr && pThis->m_uSourcePos < pThis->m_uSourceLength)
    {
        uGiven = static_cast<size_t>(
            std::min<std::uint64_t>({uCapacity, uRemaining, pThis->m_uSourceLength - pThis->m_uSourcePos}));
        std::memcpy(pBuffer, pThis->m_pSource + pThis->m_uSourcePos, uGiven);
        pThis->m_uSourcePos += uGiven;
    }
    else if (pThis->m_bHeadDone || pThis->m_bRedirectPending)
        return 0; // the server has answered; the rest of the body is not wanted
    else
    {
        pThis->m_bSendPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    pThis->m_uBodySent += uGiven;
    return uGiven;
}

int InetRequest::OnConnected(void* pUser, char*, char*, int, int)
{
    static_cast<InetRequest*>(pUser)->m_bConnected = true;
    return CURL_PREREQFUNC_OK;
}
} // namespace inet
} // namespace tarn
