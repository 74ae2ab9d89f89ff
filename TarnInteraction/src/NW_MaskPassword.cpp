// The address as a failure line shows it, without its password.
#include "NW_MaskPassword.h"

#include <cstdio>
#include <cstring>

void NW_MaskPassword(const char* cszAddress, char* pszMasked, size_t uMaskedSize)
{
    const char* pszAuthority = std::strstr(cszAddress, "://");
    const char* pszColon = nullptr;
    const char* pszAt = nullptr;
    const char* p = nullptr;

    pszAuthority = pszAuthority != nullptr ? pszAuthority + 3 : cszAddress;
    // The user information ends at the last '@' before the path, query or fragment.
    for (p = pszAuthority; *p != '\0' && *p != '/' && *p != '?' && *p != '#'; ++p)
        if (*p == '@')
            pszAt = p;
    if (pszAt != nullptr)
        pszColon = static_cast<const char*>(
            std::memchr(pszAuthority, ':', static_cast<size_t>(pszAt - pszAuthority)));
    if (pszColon == nullptr || pszColon + 1 == pszAt)
    {
        std::snprintf(pszMasked, uMaskedSize, "%s", cszAddress);
        return;
    }
    std::snprintf(pszMasked, uMaskedSize, "%.*s***%s", static_cast<int>(pszColon + 1 - cszAddress),
                  cszAddress, pszAt);
}
