#include "InetTrust.h"

#include <cstdlib>

namespace tarn
{
namespace inet
{
namespace
{
// An empty value counts as unset, as it does for the curl tool.
const char* NonEmptyEnv(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr && pszValue[0] != '\0' ? pszValue : nullptr;
}
} // namespace

void ApplyTrust(CURL* pEasy)
{
    if (const char* pszBundle = NonEmptyEnv("CURL_CA_BUNDLE"))
    {
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszBundle);
        return;
    }
    if (const char* pszDir = NonEmptyEnv("SSL_CERT_DIR"))
        curl_easy_setopt(pEasy, CURLOPT_CAPATH, pszDir);
    if (const char* pszFile = NonEmptyEnv("SSL_CERT_FILE"))
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszFile);
}
} // namespace inet
} // namespace tarn
