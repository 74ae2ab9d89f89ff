#include "EnvGuard.h"

#include <cstdlib>

namespace tarn
{
namespace test
{
namespace
{
void Put(const char* pszName, const char* pszValue)
{
#if defined(_WIN32)
    ::_putenv_s(pszName, pszValue != nullptr ? pszValue : ""); // "" removes it
#else
    if (pszValue != nullptr)
        ::setenv(pszName, pszValue, 1);
    else
        ::unsetenv(pszName);
#endif
}
} // namespace

EnvGuard::~EnvGuard()
{
    for (auto It = m_Saved.rbegin(); It != m_Saved.rend(); ++It)
        Put(It->Name.c_str(), It->bHad ? It->Value.c_str() : nullptr);
}

void EnvGuard::Set(const char* pszName, const char* pszValue)
{
    const char* pszOld = std::getenv(pszName);
    m_Saved.push_back(Saved{pszName, pszOld != nullptr, pszOld != nullptr ? pszOld : ""});
    Put(pszName, pszValue);
}

void EnvGuard::ClearProxies()
{
    for (const char* pszName : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                "ALL_PROXY", "no_proxy", "NO_PROXY"})
        Set(pszName, nullptr);
}
} // namespace test
} // namespace tarn
