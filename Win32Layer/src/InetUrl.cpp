#include "InetUrl.h"

#include "InetHeaders.h"

#include <curl/curl.h>

#include <cctype>
#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
const char* const kBlanks = " \t\r\n";

// The length of the scheme at the start of Url: a letter, then letters, digits, '+', '-' or '.',
// followed by ':'. 0 when there is none.
size_t SchemeLength(const std::string& Url)
{
    size_t uEnd = 0;
    while (uEnd < Url.size() && (std::isalnum(static_cast<unsigned char>(Url[uEnd])) || Url[uEnd] == '+' ||
                                 Url[uEnd] == '-' || Url[uEnd] == '.'))
        ++uEnd;
    if (uEnd == 0 || uEnd == Url.size() || Url[uEnd] != ':' ||
        !std::isalpha(static_cast<unsigned char>(Url[0])))
        return 0;
    return uEnd;
}

// ERROR_SUCCESS when libcurl parses the address and finds a host in it.
DWORD CheckHost(const std::string& Url)
{
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
    return dwError;
}

// The full address in pUrl when its scheme is http or https.
bool TakeWebAddress(CURLU* pUrl, std::string& Target)
{
    char* pszScheme = nullptr;
    char* pszFull = nullptr;
    bool bOk = false;
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
    return bOk;
}

// Trims an address, checks that it starts "scheme://", and escapes it for libcurl (see
// EscapeUrlText), the scheme in lower case.
DWORD NormalizeUrl(const std::string& Text, std::string& Url, std::string& Scheme)
{
    const size_t uBegin = Text.find_first_not_of(kBlanks);
    if (uBegin == std::string::npos)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    Url = Text.substr(uBegin, Text.find_last_not_of(kBlanks) - uBegin + 1);

    const size_t uSchemeLength = SchemeLength(Url);
    if (uSchemeLength == 0)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    Scheme = LowerAscii(Url.substr(0, uSchemeLength));
    if (Scheme != "http" && Scheme != "https" && Url.compare(uSchemeLength, 3, "://") != 0)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    if (Url.compare(uSchemeLength, 3, "://") != 0)
        return ERROR_INTERNET_INVALID_URL;
    Url = Scheme + EscapeUrlText(Url.substr(uSchemeLength), false);
    return ERROR_SUCCESS;
}

// A part of pUrl with Lead before it; empty when the address has none. False when libcurl fails
// for another reason.
bool TakePart(CURLU* pUrl, CURLUPart ePart, std::string& Part, const char* pszLead)
{
    char* pszPart = nullptr;
    const CURLUcode eCode = curl_url_get(pUrl, ePart, &pszPart, 0);
    Part.clear();
    if (eCode == CURLUE_OK && pszPart != nullptr && pszPart[0] != '\0')
        Part = std::string(pszLead) + pszPart;
    curl_free(pszPart);
    return eCode == CURLUE_OK || eCode == CURLUE_NO_HOST || eCode == CURLUE_NO_PORT ||
           eCode == CURLUE_NO_USER || eCode == CURLUE_NO_PASSWORD || eCode == CURLUE_NO_QUERY ||
           eCode == CURLUE_NO_FRAGMENT;
}

INTERNET_SCHEME SchemeCode(const std::string& Scheme)
{
    if (Scheme == "http")
        return INTERNET_SCHEME_HTTP;
    if (Scheme == "https")
        return INTERNET_SCHEME_HTTPS;
    if (Scheme == "ftp")
        return INTERNET_SCHEME_FTP;
    if (Scheme == "gopher")
        return INTERNET_SCHEME_GOPHER;
    if (Scheme == "file")
        return INTERNET_SCHEME_FILE;
    return INTERNET_SCHEME_UNKNOWN;
}

int DefaultPort(INTERNET_SCHEME eScheme)
{
    switch (eScheme)
    {
    case INTERNET_SCHEME_HTTP:
        return INTERNET_DEFAULT_HTTP_PORT;
    case INTERNET_SCHEME_HTTPS:
        return INTERNET_DEFAULT_HTTPS_PORT;
    case INTERNET_SCHEME_FTP:
        return 21;
    case INTERNET_SCHEME_GOPHER:
        return 70;
    default:
        return INTERNET_INVALID_PORT_NUMBER;
    }
}
} // namespace

std::string EscapeUrlText(const std::string& Text, bool bEscapeHash)
{
    return EscapeUrlText(Text, bEscapeHash ? "#" : "");
}

std::string EscapeUrlText(const std::string& Text, const char* pszAlsoEscaped)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(Text.size());
    for (char c : Text)
    {
        const unsigned char uc = static_cast<unsigned char>(c);
        if (uc <= 0x20 || uc >= 0x7F || (c != '\0' && std::strchr(pszAlsoEscaped, c) != nullptr))
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
    std::string Url;
    std::string Scheme;
    DWORD dwError = NormalizeUrl(pszUrl, Url, Scheme);
    if (dwError == ERROR_SUCCESS && Scheme != "http" && Scheme != "https")
        dwError = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    if (dwError == ERROR_SUCCESS)
        dwError = CheckHost(Url);
    if (dwError == ERROR_SUCCESS)
        Prepared = std::move(Url);
    return dwError;
}

DWORD CrackUrl(const std::string& Text, CrackedUrl& Parts)
{
    std::string Url;
    DWORD dwError = NormalizeUrl(Text, Url, Parts.Scheme);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    CURLU* pUrl = curl_url();
    if (pUrl == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    std::string Port;
    if (curl_url_set(pUrl, CURLUPART_URL, Url.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) !=
            CURLUE_OK ||
        !TakePart(pUrl, CURLUPART_HOST, Parts.Host, "") || Parts.Host.empty())
        dwError = ERROR_INTERNET_INVALID_URL;
    else if (!TakePart(pUrl, CURLUPART_PORT, Port, "") || !TakePart(pUrl, CURLUPART_USER, Parts.User, "") ||
             !TakePart(pUrl, CURLUPART_PASSWORD, Parts.Password, "") ||
             !TakePart(pUrl, CURLUPART_PATH, Parts.Path, "") ||
             !TakePart(pUrl, CURLUPART_QUERY, Parts.Query, "?") ||
             !TakePart(pUrl, CURLUPART_FRAGMENT, Parts.Fragment, "#"))
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    curl_url_cleanup(pUrl);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    if (Parts.Host.size() > 1 && Parts.Host.front() == '[' && Parts.Host.back() == ']')
        Parts.Host = Parts.Host.substr(1, Parts.Host.size() - 2);
    if (Parts.Path.empty())
        Parts.Path = "/";
    Parts.eScheme = SchemeCode(Parts.Scheme);
    Parts.nPort = static_cast<INTERNET_PORT>(Port.empty() ? DefaultPort(Parts.eScheme) : std::stoi(Port));
    return ERROR_SUCCESS;
}

bool ResolveRedirect(const std::string& Base, const std::string& Location, std::string& Target)
{
    CURLU* pUrl = curl_url();
    if (pUrl == nullptr)
        return false;
    const std::string Escaped = EscapeUrlText(Location, false);
    const bool bOk = curl_url_set(pUrl, CURLUPART_URL, Base.c_str(), 0) == CURLUE_OK &&
                     curl_url_set(pUrl, CURLUPART_URL, Escaped.c_str(), 0) == CURLUE_OK &&
                     TakeWebAddress(pUrl, Target);
    curl_url_cleanup(pUrl);
    return bOk;
}

std::string SchemeOf(const std::string& Url)
{
    const size_t uColon = Url.find(':');
    return uColon == std::string::npos ? std::string() : LowerAscii(Url.substr(0, uColon));
}

std::string ObjectOf(const std::string& Url)
{
    const size_t uHostStart = Url.find("://");
    const size_t uPath = uHostStart == std::string::npos ? std::string::npos : Url.find('/', uHostStart + 3);
    return uPath == std::string::npos ? std::string("/") : Url.substr(uPath);
}
} // namespace inet
} // namespace tarn
