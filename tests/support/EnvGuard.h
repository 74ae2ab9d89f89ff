#pragma once

// Sets or removes environment variables and puts them back as they were when it goes.
#include <cstdlib>
#include <string>
#include <vector>

namespace tarn
{
namespace test
{
class EnvGuard
{
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard()
    {
        for (auto It = m_Saved.rbegin(); It != m_Saved.rend(); ++It)
            Put(It->Name.c_str(), It->bHad ? It->Value.c_str() : nullptr);
    }

    // pszValue null removes the variable.
    void Set(const char* pszName, const char* pszValue)
    {
        const char* pszOld = std::getenv(pszName);
        m_Saved.push_back(Saved{pszName, pszOld != nullptr, pszOld != nullptr ? pszOld : ""});
        Put(pszName, pszValue);
    }

    void ClearProxies()
    {
        for (const char* pszName : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                    "ALL_PROXY", "no_proxy", "NO_PROXY"})
            Set(pszName, nullptr);
    }

private:
    static void Put(const char* pszName, const char* pszValue)
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

    struct Saved
    {
        std::string Name;
        bool bHad;
        std::string Value;
    };
    std::vector<Saved> m_Saved;
};
} // namespace test
} // namespace tarn
