#include "InetTrust.h"

#include "LastResponseInfo.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

bool IsReadable(const std::string& Path, bool bDirectory)
{
    struct stat Status;
    if (stat(Path.c_str(), &Status) != 0 || S_ISDIR(Status.st_mode) != bDirectory)
        return false;
    return access(Path.c_str(), bDirectory ? R_OK | X_OK : R_OK) == 0;
}

// ERROR_SUCCESS when every path in the ':'-joined list can be read; otherwise the failure, with
// the path and the variable that named it as the thread's response info.
DWORD CheckReadable(const char* pszList, bool bDirectory, const char* pszVariable)
{
    const std::string List = pszList;
    for (size_t uStart = 0; uStart <= List.size();)
    {
        size_t uEnd = bDirectory ? List.find(':', uStart) : std::string::npos;
        if (uEnd == std::string::npos)
            uEnd = List.size();
        const std::string Path = List.substr(uStart, uEnd - uStart);
        if (!Path.empty() && !IsReadable(Path, bDirectory))
        {
            const std::string Info = std::string("cannot read the CA ") +
                                     (bDirectory ? "directory `" : "file `") + Path + "` named by " +
                                     pszVariable;
            SetLastResponseInfo(Info.c_str());
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        }
        uStart = uEnd + 1;
    }
    return ERROR_SUCCESS;
}
} // namespace

DWORD ApplyTrust(CURL* pEasy, const std::string& Url)
{
    // Only an HTTPS exchange reads them; a plain one does not fail for them.
    const bool bSecure = strncasecmp(Url.c_str(), "https:", 6) == 0;
    DWORD dwError = ERROR_SUCCESS;
    if (const char* pszBundle = NonEmptyEnv("CURL_CA_BUNDLE"))
    {
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszBundle);
        return bSecure ? CheckReadable(pszBundle, false, "CURL_CA_BUNDLE") : ERROR_SUCCESS;
    }
    if (const char* pszDir = NonEmptyEnv("SSL_CERT_DIR"))
    {
        curl_easy_setopt(pEasy, CURLOPT_CAPATH, pszDir);
        if (bSecure)
            dwError = CheckReadable(pszDir, true, "SSL_CERT_DIR");
    }
    if (const char* pszFile = NonEmptyEnv("SSL_CERT_FILE"))
    {
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, pszFile);
        if (bSecure && dwError == ERROR_SUCCESS)
            dwError = CheckReadable(pszFile, false, "SSL_CERT_FILE");
    }
    return dwError;
}
} // namespace inet
} // namespace tarn
