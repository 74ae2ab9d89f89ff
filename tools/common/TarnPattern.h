#pragma once

// The bytes the loopback servers generate, and the hash their reports and the tests compare with.
// Header-only and portable, for the Windows host as well.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn
{
// Byte i of every generated body.
inline unsigned char PatternByte(std::uint64_t uIndex)
{
    return static_cast<unsigned char>((uIndex * 131u + (uIndex >> 8) * 7u + 17u) & 0xFFu);
}

// uCount pattern bytes from byte uFirst on.
inline std::string PatternBytes(std::uint64_t uCount, std::uint64_t uFirst = 0)
{
    std::string Bytes(static_cast<size_t>(uCount), '\0');
    for (size_t i = 0; i < Bytes.size(); ++i)
        Bytes[i] = static_cast<char>(PatternByte(uFirst + i));
    return Bytes;
}

// 64-bit FNV-1a with its standard offset basis and prime, so that any FNV-1a tool reproduces the
// hashes tarn_server reports; a hash can be continued piece by piece by passing the one so far.
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;

inline std::uint64_t Fnv1a64(const void* pData, size_t uLength, std::uint64_t uHash = kFnvOffset)
{
    const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
    for (size_t i = 0; i < uLength; ++i)
    {
        uHash ^= pBytes[i];
        uHash *= 1099511628211ull;
    }
    return uHash;
}

inline std::uint64_t Fnv1a64(const std::string& Bytes)
{
    return Fnv1a64(Bytes.data(), Bytes.size());
}
} // namespace tarn
