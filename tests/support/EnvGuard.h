#pragma once

// Sets or removes environment variables and puts them back as they were when it goes.
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
    ~EnvGuard();

    // pszValue null removes the variable.
    void Set(const char* pszName, const char* pszValue);
    void ClearProxies();

private:
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
