#pragma once

// URLs as the interaction object takes them: a GET fetches its address text followed directly by
// its object text, and the object keeps at most 511 and 255 characters of them.
#include <cstddef>
#include <string>
#include <vector>

namespace tarn
{
constexpr std::size_t kMaxAddressChars = 511;
constexpr std::size_t kMaxObjectChars = 255;

struct UrlParts
{
    std::string Address; // "scheme://host[:port]", plus the head of a path too long for the object
    std::string Object;  // "/path?query"
};

// Splits an http:// or https:// URL into the two texts of a GET, so that both fit. Returns false
// with a message when the URL is malformed or too long to be sent whole.
bool SplitUrl(const std::string& Url, UrlParts& Parts, std::string& Error);

// A file name for the body of Url: its path and query reduced to letters, digits, '.', '-' and
// '_', never starting with '.', never empty ("index"). It cannot name anything outside the
// directory it is put in.
std::string FileNameForUrl(const std::string& Url);

// FileNameForUrl for each URL, made unique in order ("name", "name-2", "name-3", ...).
std::vector<std::string> UniqueFileNames(const std::vector<std::string>& Urls);
} // namespace tarn
