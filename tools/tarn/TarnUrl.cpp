#include "TarnUrl.h"

#include <algorithm>
#include <cctype>

namespace tarn
{
namespace
{
std::string Lower(std::string Text)
{
    for (char& c : Text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Text;
}

// The part after "scheme://host[:port]", without any fragment ("" when there is none).
std::string PathAndQuery(const std::string& Url)
{
    const std::size_t uSchemeEnd = Url.find("://");
    const std::size_t uHostStart = uSchemeEnd == std::string::npos ? 0 : uSchemeEnd + 3;
    const std::size_t uHostEnd = std::min(Url.find_first_of("/?#", uHostStart), Url.size());
    std::string Rest = Url.substr(uHostEnd);
    const std::size_t uFragment = Rest.find('#');
    if (uFragment != std::string::npos)
        Rest.erase(uFragment);
    return Rest;
}
// The port of "[user@]host[:port]" or "[v6]:port": absent, or 1 to 65535.
bool PortIsValid(const std::string& Authority)
{
    const std::size_t uAt = Authority.rfind('@');
    const std::string HostPort = uAt == std::string::npos ? Authority : Authority.substr(uAt + 1);
    const std::size_t uBracket = HostPort.rfind(']');
    const std::size_t uColon = HostPort.find(':', uBracket == std::string::npos ? 0 : uBracket);
    if (uColon == std::string::npos)
        return true;
    const std::string Port = HostPort.substr(uColon + 1);
    if (Port.empty() || Port.size() > 5 || Port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int nPort = std::stoi(Port);
    return nPort >= 1 && nPort <= 65535;
}
} // namespace

bool SplitUrl(const std::string& Url, UrlParts& Parts, std::string& Error)
{
    for (unsigned char c : Url)
    {
        if (c <= 0x20 || c == 0x7F)
        {
            Error = "URL must not contain spaces or control characters: " + MaskPassword(Url);
            return false;
        }
    }
    const std::size_t uSchemeEnd = Url.find("://");
    const std::string Scheme =
        uSchemeEnd == std::string::npos ? std::string() : Lower(Url.substr(0, uSchemeEnd));
    if (Scheme != "http" && Scheme != "https")
    {
        Error = "URL must start with http:// or https://: " + MaskPassword(Url);
        return false;
    }
    const std::size_t uHostStart = uSchemeEnd + 3;
    const std::size_t uHostEnd = std::min(Url.find_first_of("/?#", uHostStart), Url.size());
    if (uHostEnd == uHostStart)
    {
        Error = "URL has no host: " + MaskPassword(Url);
        return false;
    }

    if (!PortIsValid(Url.substr(uHostStart, uHostEnd - uHostStart)))
    {
        Error = "URL port must be a number from 1 to 65535: " + MaskPassword(Url);
        return false;
    }

    std::string Address = Url.substr(0, uHostEnd);
    std::string Object = PathAndQuery(Url);
    if (Object.empty() || Object[0] != '/')
        Object.insert(0, "/");

    if (Address.size() > kMaxAddressChars)
    {
        Error = "URL host part too long (" + std::to_string(Address.size()) + " characters, at most " +
                std::to_string(kMaxAddressChars) + "): " + MaskPassword(Url).substr(0, 60) + "...";
        return false;
    }
    // The two texts are joined with nothing between them, so a path too long for the object
    // lends its head to the address.
    if (Object.size() > kMaxObjectChars)
    {
        const std::size_t uMove = Object.size() - kMaxObjectChars;
        if (Address.size() + uMove > kMaxAddressChars)
        {
            Error = "URL too long (" + std::to_string(Address.size() + Object.size()) +
                    " characters, at most " + std::to_string(kMaxAddressChars + kMaxObjectChars) +
                    " fit): " + MaskPassword(Url).substr(0, 60) + "...";
            return false;
        }
        Address += Object.substr(0, uMove);
        Object.erase(0, uMove);
    }
    Parts.Address = Address;
    Parts.Object = Object;
    return true;
}

std::string MaskPassword(const std::string& Url)
{
    const std::size_t uScheme = Url.find("://");
    const std::size_t uStart = uScheme == std::string::npos ? 0 : uScheme + 3;
    const std::size_t uEnd = std::min(Url.find_first_of("/?#", uStart), Url.size());
    const std::size_t uAt = Url.rfind('@', uEnd);
    if (uAt == std::string::npos || uAt < uStart)
        return Url;
    const std::size_t uColon = Url.find(':', uStart);
    if (uColon == std::string::npos || uColon + 1 >= uAt)
        return Url;
    return Url.substr(0, uColon + 1) + "***" + Url.substr(uAt);
}

bool SplitPostUrl(const std::string& Url, std::string& Server, int& nPort, std::string& Path,
                  std::string& Error)
{
    UrlParts Parts;
    if (!SplitUrl(Url, Parts, Error))
        return false;
    const std::size_t uSchemeEnd = Url.find("://");
    const std::string Scheme = Lower(Url.substr(0, uSchemeEnd));
    if (Scheme != "http" && Scheme != "https")
    {
        Error = "post speaks HTTP and HTTPS only: " + MaskPassword(Url);
        return false;
    }
    std::string Authority = Url.substr(
        uSchemeEnd + 3, std::min(Url.find_first_of("/?#", uSchemeEnd + 3), Url.size()) - (uSchemeEnd + 3));
    if (Authority.find('@') != std::string::npos)
    {
        Error = "post sends no user name or password: " + MaskPassword(Url);
        return false;
    }
    Path = PathAndQuery(Url);
    if (Path.empty() || Path[0] != '/')
        Path.insert(0, "/");
    // The library takes an https server as its address, which carries the port.
    nPort = Scheme == "https" ? 443 : 80;
    const std::size_t uBracket = Authority.rfind(']');
    const std::size_t uColon = Authority.find(':', uBracket == std::string::npos ? 0 : uBracket);
    const bool bPortWritten =
        uColon != std::string::npos && (uBracket != std::string::npos || Authority.find(':') == uColon);
    if (bPortWritten)
        nPort = std::stoi(Authority.substr(uColon + 1)); // checked by SplitUrl
    if (Scheme == "https")
    {
        Server = "https://" + Authority;
        return true;
    }
    if (bPortWritten)
        Authority.erase(uColon);
    // The library takes a bare IPv6 address as the server name.
    if (Authority.size() > 2 && Authority.front() == '[' && Authority.back() == ']')
        Authority = Authority.substr(1, Authority.size() - 2);
    Server = Authority;
    return true;
}

bool RemoteFileName(const std::string& Url, std::string& Name)
{
    std::string Path = PathAndQuery(Url);
    Path.erase(std::min(Path.find('?'), Path.size()));
    Name = Path.substr(Path.rfind('/') == std::string::npos ? 0 : Path.rfind('/') + 1);
    // A segment holds no '/', so only these could name something other than a file here.
    return !Name.empty() && Name != "." && Name != "..";
}

} // namespace tarn
