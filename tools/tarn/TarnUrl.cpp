#include "TarnUrl.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace tarn
{
namespace
{
constexpr std::size_t kMaxFileNameChars = 120;

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
} // namespace

bool SplitUrl(const std::string& Url, UrlParts& Parts, std::string& Error)
{
    for (unsigned char c : Url)
    {
        if (c <= 0x20 || c == 0x7F)
        {
            Error = "URL must not contain spaces or control characters: " + Url;
            return false;
        }
    }
    const std::size_t uSchemeEnd = Url.find("://");
    const std::string Scheme =
        uSchemeEnd == std::string::npos ? std::string() : Lower(Url.substr(0, uSchemeEnd));
    if (Scheme != "http" && Scheme != "https")
    {
        Error = "URL must start with http:// or https://: " + Url;
        return false;
    }
    const std::size_t uHostStart = uSchemeEnd + 3;
    const std::size_t uHostEnd = std::min(Url.find_first_of("/?#", uHostStart), Url.size());
    if (uHostEnd == uHostStart)
    {
        Error = "URL has no host: " + Url;
        return false;
    }

    std::string Address = Url.substr(0, uHostEnd);
    std::string Object = PathAndQuery(Url);
    if (Object.empty() || Object[0] != '/')
        Object.insert(0, "/");

    if (Address.size() > kMaxAddressChars)
    {
        Error = "URL host part too long (" + std::to_string(Address.size()) + " characters, at most " +
                std::to_string(kMaxAddressChars) + "): " + Url.substr(0, 60) + "...";
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
                    " fit): " + Url.substr(0, 60) + "...";
            return false;
        }
        Address += Object.substr(0, uMove);
        Object.erase(0, uMove);
    }
    Parts.Address = Address;
    Parts.Object = Object;
    return true;
}

std::string FileNameForUrl(const std::string& Url)
{
    // Every other character becomes '_'; a run of '.' and '_' that holds a '_' (what "/../" and
    // the like turn into) becomes one '_'.
    std::string Name;
    std::string Run;
    auto FlushRun = [&]
    {
        Name += Run.find('_') != std::string::npos ? std::string("_") : Run;
        Run.clear();
    };
    for (char c : PathAndQuery(Url))
    {
        const bool bKept = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        const char cOut = bKept ? c : '_';
        if (cOut == '.' || cOut == '_')
            Run += cOut;
        else
        {
            FlushRun();
            Name += cOut;
        }
    }
    FlushRun();
    // Nothing may start with '.', so neither "." nor ".." nor a hidden file can come out.
    const std::size_t uFirst = Name.find_first_not_of("._");
    Name = uFirst == std::string::npos ? std::string() : Name.substr(uFirst);
    if (Name.size() > kMaxFileNameChars)
        Name.resize(kMaxFileNameChars);
    while (!Name.empty() && (Name.back() == '_' || Name.back() == '.'))
        Name.pop_back();
    return Name.empty() ? "index" : Name;
}

std::vector<std::string> UniqueFileNames(const std::vector<std::string>& Urls)
{
    std::vector<std::string> Names;
    std::set<std::string> Used;
    for (const std::string& Url : Urls)
    {
        const std::string Base = FileNameForUrl(Url);
        std::string Name = Base;
        for (int n = 2; Used.count(Name) != 0; ++n)
            Name = Base + "-" + std::to_string(n);
        Used.insert(Name);
        Names.push_back(Name);
    }
    return Names;
}
} // namespace tarn
