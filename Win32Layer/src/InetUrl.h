#pragma once

// Addresses as the WinINet layer hands them to libcurl: escaping, checking, resolving redirects.
#include "Win32Layer/WinInet.h"

#include <string>

namespace tarn
{
namespace inet
{
// Percent-encodes what libcurl would refuse or cut in a URL: control characters, space, DEL and
// bytes above 127 (and '#' as well when bEscapeHash is set, for object names that are paths).
std::string EscapeUrlText(const std::string& Text, bool bEscapeHash);
// The same, escaping also each character of pszAlsoEscaped.
std::string EscapeUrlText(const std::string& Text, const char* pszAlsoEscaped);

// Checks an address for InternetOpenUrlA and gives it in the form handed to libcurl:
// ERROR_INTERNET_UNRECOGNIZED_SCHEME for a scheme other than http and https (or none),
// ERROR_INTERNET_INVALID_URL for an address that does not parse.
DWORD PrepareUrl(const char* pszUrl, std::string& Prepared);

// The parts of an absolute address, as InternetCrackUrlA gives them.
struct CrackedUrl
{
    std::string Scheme; // in lower case
    INTERNET_SCHEME eScheme = INTERNET_SCHEME_UNKNOWN;
    std::string Host;                                   // an IPv6 address without its brackets
    INTERNET_PORT nPort = INTERNET_INVALID_PORT_NUMBER; // the scheme's own when none is given
    std::string User;
    std::string Password;
    std::string Path;     // "/" when there is none
    std::string Query;    // "?" and the query, or empty
    std::string Fragment; // "#" and the fragment, or empty
};

// Splits an address of any scheme written "scheme://host...", escaped as PrepareUrl escapes it:
// ERROR_INTERNET_UNRECOGNIZED_SCHEME when it has no scheme, ERROR_INTERNET_INVALID_URL when it does
// not parse or names no host.
DWORD CrackUrl(const std::string& Text, CrackedUrl& Parts);

// Resolves a Location against the address it came from. False when the result is no http or
// https address.
bool ResolveRedirect(const std::string& Base, const std::string& Location, std::string& Target);

// The scheme of an absolute address in lower case; empty when it has none.
std::string SchemeOf(const std::string& Url);

// The object of an absolute address: from the first '/' after the host, "/" when there is none.
std::string ObjectOf(const std::string& Url);
} // namespace inet
} // namespace tarn
