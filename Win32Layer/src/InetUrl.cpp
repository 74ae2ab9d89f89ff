#include "InetUrl.h"

#include "InetHeaders.h"

#include <curl/curl.h>

#include <cctype>

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
    const size_t uBegin = Url.find_first_not_of(kBlanks);
    if (uBegin == std::string::npos)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    Url = Url.substr(uBegin, Url.find_last_not_of(kBlanks) - uBegin + 1);

    const size_t uSchemeLength = SchemeLength(Url);
    if (uSchemeLength == 0)
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    const std::string Scheme = LowerAscii(Url.substr(0, uSchemeLength));
    if (Scheme != "http" && Scheme != "https")
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    if (Url.compare(uSchemeLength, 3, "://") != 0)
        return ERROR_INTERNET_INVALID_URL;
    Url = Scheme + EscapeUrlText(Url.substr(uSchemeLength), false);

    const DWORD dwError = CheckHost(Url);
    if (dwError == ERROR_SUCCESS)
        Prepared = std::move(Url);
    return dwError;
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
