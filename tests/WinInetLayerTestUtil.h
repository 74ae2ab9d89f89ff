#pragma once

// Helpers shared by the tests of the WinINet layer: handle ownership, environment control, and
// the GET and POST sequences exactly as the library makes them.
#include "EnvGuard.h"
#include "LibraryCalls.h"
#include "ScriptedServer.h"
#include "TarnPattern.h"
#include "Win32Layer/WinInet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wininet_test
{
using tarn::StatusOf;
using tarn::test::CapturedRequest;
using tarn::test::ScriptedReply;
using tarn::test::ScriptedServer;

constexpr const char* kAgent = tarn::kLibraryAgent;
constexpr DWORD kGetFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kPostFlags = tarn::kLibraryPostFlags;

using Handle = tarn::InternetHandle;

using tarn::test::EnvGuard;

// Every layer test runs without proxy variables (a proxy would take even loopback requests), with
// a scripted server at hand.
class WinInetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Env.ClearProxies();
        ASSERT_NE(m_Server.Port(), 0);
    }

    EnvGuard m_Env;
    ScriptedServer m_Server;
};

inline INTERNET_PORT PortOf(const ScriptedServer& Server)
{
    return static_cast<INTERNET_PORT>(Server.Port());
}

inline Handle OpenSession(DWORD dwAccessType = INTERNET_OPEN_TYPE_PRECONFIG, const char* pszAgent = kAgent,
                          const char* pszProxy = nullptr, const char* pszBypass = nullptr)
{
    return Handle(InternetOpenA(pszAgent, dwAccessType, pszProxy, pszBypass, 0));
}

inline void SetTimeout(HINTERNET hInternet, DWORD dwOption, DWORD dwMilliseconds)
{
    ASSERT_TRUE(InternetSetOptionA(hInternet, dwOption, &dwMilliseconds, sizeof(dwMilliseconds)))
        << GetLastError();
}

// InternetOpenUrlA with the library's headers and flags unless told otherwise.
inline Handle OpenUrl(HINTERNET hSession, const std::string& Url,
                      const char* pszHeaders = "Accept: */*\r\n\r\n", DWORD dwFlags = kGetFlags)
{
    return Handle(InternetOpenUrlA(hSession, Url.c_str(), pszHeaders, static_cast<DWORD>(-1), dwFlags, 0));
}

struct ReadOutcome
{
    bool bOk = false;  // ended with a successful read of 0 bytes
    DWORD dwError = 0; // the last error when a read failed
    std::string Body;  // what was read (kept only when asked)
    std::uint64_t uSize = 0;
    std::uint64_t uHash = tarn::kFnvOffset;
    std::vector<DWORD> Counts; // the count of every successful read, the final 0 included (when kept)
};

// Reads until a read gives 0 bytes or fails, uChunk bytes at a time, as the library does; at most
// uMaxCalls reads.
inline ReadOutcome ReadAll(HINTERNET hRequest, DWORD dwChunk = 8191, bool bKeep = true,
                           size_t uMaxCalls = 1u << 20)
{
    ReadOutcome Outcome;
    std::vector<char> Buffer(dwChunk + 1);
    for (size_t i = 0; i < uMaxCalls; ++i)
    {
        DWORD dwRead = 0xDEADBEEF;
        if (!InternetReadFile(hRequest, Buffer.data(), dwChunk, &dwRead))
        {
            Outcome.dwError = GetLastError();
            return Outcome;
        }
        if (bKeep)
            Outcome.Counts.push_back(dwRead);
        if (dwRead == 0)
        {
            Outcome.bOk = true;
            return Outcome;
        }
        if (bKeep)
            Outcome.Body.append(Buffer.data(), dwRead);
        Outcome.uSize += dwRead;
        Outcome.uHash = tarn::Fnv1a64(Buffer.data(), dwRead, Outcome.uHash);
    }
    ADD_FAILURE() << "no end of body after " << uMaxCalls << " reads";
    return Outcome;
}

struct PostOutcome
{
    std::string FailedAt; // the function that failed, "" when all succeeded
    DWORD dwError = 0;
    DWORD dwStatus = 0;
    ReadOutcome Response;
};

// A POST the way the library makes one (tarn::PostLikeTheLibrary), its response read as the library
// reads it.
inline PostOutcome PostLikeTheLibrary(HINTERNET hSession, const char* pszServer, INTERNET_PORT nPort,
                                      const char* pszObject, const std::string& Body,
                                      bool bKeepResponse = true)
{
    PostOutcome Outcome;
    const tarn::LibraryPostResult Result =
        tarn::PostLikeTheLibrary(hSession, pszServer, nPort, pszObject, Body,
                                 [&](HINTERNET hRequest)
                                 {
                                     Outcome.Response = ReadAll(hRequest, 8191, bKeepResponse);
                                     return Outcome.Response.bOk;
                                 });
    Outcome.FailedAt = Result.FailedAt;
    Outcome.dwError = Result.FailedAt == "InternetReadFile" ? Outcome.Response.dwError : Result.dwError;
    Outcome.dwStatus = Result.dwStatus;
    return Outcome;
}

// Binary body bytes, NULs and CR/LF included.
inline std::string BinaryBody(size_t uSize)
{
    std::string Body(uSize, '\0');
    for (size_t i = 0; i < uSize; ++i)
        Body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return Body;
}
} // namespace wininet_test
