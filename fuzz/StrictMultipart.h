#pragma once

// A strict multipart/form-data parser for checking bodies: RFC 2046 section 5.1.1 framing with
// CRLF line ends only, no preamble, no epilogue and no transport padding; each part with exactly
// one Content-Disposition of form-data and a quoted name, an optional quoted filename and an
// optional Content-Type, and no other header. Quoted strings are read literally, as RFC 7578 and
// HTML's form encoding have them: everything up to the next '"'.
#include <string>
#include <vector>

namespace tarn
{
namespace fuzz
{
struct StrictPart
{
    std::string Name;
    bool bHasFileName = false;
    std::string FileName;
    bool bHasContentType = false;
    std::string ContentType;
    std::string Content;
};

// False when the body deviates from the rules above in any way.
bool ParseStrictMultipart(const std::string& Body, const std::string& Boundary,
                          std::vector<StrictPart>& Parts);
} // namespace fuzz
} // namespace tarn
