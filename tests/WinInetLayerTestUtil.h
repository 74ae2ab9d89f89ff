#pragma once

// Helpers shared by the tests of the WinINet layer: handle ownership, environment control, and
// the GET and POST sequences exactly as the library makes them.
#include "ScriptedServer.h"
#include "Win32Layer/WinInet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wininet_test
{
using tarn::test::CapturedRequest;
using tarn::test::ScriptedReply;
using tarn::test::ScriptedServer;

constexpr const char* kAgent = "TarnInteraction";
constexpr DWORD kGetFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kPostFlags =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_FORMS_SUBMIT;
constexpr const char* kBoundaryHeader =
    "Content-Type: multipart/form-data; boundary=-------------------------24822581126073\r\n";

struct HandleCloser
{
    void operator()(void* hInternet) const
    {
        if (hInternet != nullptr)
            InternetCloseHandle(hInternet);
    }
};
// Owns a WinINet handle; closes it when it goes.
using Handle = std::unique_ptr<void, HandleCloser>;

// Sets or removes environment variables and puts them back as they were when it goes.
class EnvGuard
{
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard()
    {
        for (auto It = m_Saved.rbegin(); It != m_Saved.rend(); ++It)
        {
            if (It->bHad)
                ::setenv(It->Name.c_str(), It->Value.c_str(), 1);
            else
                ::unsetenv(It->Name.c_str());
        }
    }
    // pszValue null removes the variable.
    void Set(const char* pszName, const char* pszValue)
    {
        const char* pszOld = std::getenv(pszName);
        m_Saved.push_back(Saved{pszName, pszOld != nullptr, pszOld != nullptr ? pszOld : ""});
        if (pszValue != nullptr)
            ::setenv(pszName, pszValue, 1);
        else
            ::unsetenv(pszName);
    }
    void ClearProxies()
    {
        for (const char* pszName : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                    "ALL_PROXY", "no_proxy", "NO_PROXY"})
            Set(pszName, nullptr);
    }

private:
    struct Saved
    {
        std::string Name;
        bool bHad;
        std::string Value;
    };
    std::vector<Saved> m_Saved;
};

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

// The status as the library asks for it; 0 when the query fails.
inline DWORD StatusOf(HINTERNET hRequest)
{
    DWORD dwStatus = 0;
    DWORD dwLength = sizeof(dwStatus);
    if (!HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &dwLength,
                        nullptr))
        return 0;
    return dwStatus;
}

struct ReadOutcome
{
    bool bOk = false;  // ended with a successful read of 0 bytes
    DWORD dwError = 0; // the last error when a read failed
    std::string Body;  // what was read (kept only when asked)
    std::uint64_t uSize = 0;
    std::uint64_t uHash = ScriptedServer::kFnvOffset;
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
        Outcome.uHash = ScriptedServer::Fnv1a64(Buffer.data(), dwRead, Outcome.uHash);
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

// A POST the way the library makes one: connection, request with HTTP/1.0, the three headers,
// HttpSendRequestExA, one InternetWriteFile with the whole body, HttpEndRequestA, the status and
// the body; the handles closed in reverse order. The session is the caller's.
inline PostOutcome PostLikeTheLibrary(HINTERNET hSession, const char* pszServer, INTERNET_PORT nPort,
                                      const char* pszObject, const std::string& Body,
                                      bool bKeepResponse = true)
{
    PostOutcome Outcome;
    const auto Fail = [&](const char* pszStep)
    {
        Outcome.FailedAt = pszStep;
        Outcome.dwError = GetLastError();
    };
    Handle Connection(InternetConnectA(hSession, pszServer, nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                       INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0));
    if (!Connection)
    {
        Fail("InternetConnectA");
        return Outcome;
    }
    LPCSTR AcceptTypes[] = {"*/*", nullptr};
    Handle Request(HttpOpenRequestA(Connection.get(), "POST", pszObject, "HTTP/1.0", nullptr, AcceptTypes,
                                    kPostFlags, 0));
    if (!Request)
    {
        Fail("HttpOpenRequestA");
        return Outcome;
    }
    const std::string Length = "Content-Length: " + std::to_string(Body.size()) + "\r\n";
    if (!HttpAddRequestHeadersA(Request.get(), "Accept: */*\r\n", 13, HTTP_ADDREQ_FLAG_REPLACE) ||
        !HttpAddRequestHeadersA(Request.get(), kBoundaryHeader, 85, HTTP_ADDREQ_FLAG_ADD_IF_NEW) ||
        !HttpAddRequestHeadersA(Request.get(), Length.c_str(), static_cast<DWORD>(Length.size()),
                                HTTP_ADDREQ_FLAG_ADD_IF_NEW))
    {
        Fail("HttpAddRequestHeadersA");
        return Outcome;
    }
    INTERNET_BUFFERSA BuffersIn{};
    BuffersIn.dwStructSize = sizeof(INTERNET_BUFFERSA);
    if (!HttpSendRequestExA(Request.get(), &BuffersIn, nullptr, HSR_INITIATE, 0))
    {
        Fail("HttpSendRequestExA");
        return Outcome;
    }
    DWORD dwWritten = 0;
    if (!InternetWriteFile(Request.get(), Body.data(), static_cast<DWORD>(Body.size()), &dwWritten))
    {
        Fail("InternetWriteFile");
        return Outcome;
    }
    if (!HttpEndRequestA(Request.get(), nullptr, HSR_INITIATE, 0))
    {
        Fail("HttpEndRequestA");
        return Outcome;
    }
    Outcome.dwStatus = StatusOf(Request.get());
    if (Outcome.dwStatus == 0)
    {
        Fail("HttpQueryInfoA");
        return Outcome;
    }
    Outcome.Response = ReadAll(Request.get(), 8191, bKeepResponse);
    if (!Outcome.Response.bOk)
    {
        Outcome.FailedAt = "InternetReadFile";
        Outcome.dwError = Outcome.Response.dwError;
    }
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
