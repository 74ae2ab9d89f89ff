// Fuzz target: the multipart body builder. Random parameters (text fields, files with random
// bytes, missing files with random paths) are added through AddPostParam and built with
// GetPostBuffer. The body must parse back through a strict parser to exactly those parameters, or
// the build must fail because a text value or a file holds a delimiter line. AddPostParam must
// refuse exactly the names and paths that would break a part's header.
#include "EngineCore/NWLog.h"
#include "NW_HttpClient.h"
#include "StrictMultipart.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const std::string kBoundary = NW_POST_BOUNDARY;
constexpr int kMaxParams = 8;

std::string g_Dir;

enum class Kind
{
    Text,
    File,       // a file that exists, with random content
    MissingFile // a random path under a directory that does not exist
};

struct Param
{
    Kind eKind;
    std::string Name;
    std::string Value; // text, or path
    std::string Bytes; // what the part must carry
};

void DropLogLine(NWLOG_PRIORITY, const char*, void*) {}

void RemoveDir()
{
    for (int i = 0; i < kMaxParams; ++i)
        std::remove((g_Dir + "/f" + std::to_string(i)).c_str());
    rmdir(g_Dir.c_str());
}

[[noreturn]] void Fail(const char* cszWhat)
{
    std::fprintf(stderr, "post body: %s\n", cszWhat);
    std::abort();
}

// What AddPostParam must accept: a name that is not empty, and a name and file path without CR,
// LF or '"' and without a final backslash.
bool IsSafeInHeader(const std::string& Text)
{
    return Text.find_first_of("\r\n\"") == std::string::npos && (Text.empty() || Text.back() != '\\');
}

// Two hyphens and the boundary at the start of the data or right after a CR or an LF.
bool HasDelimiterLine(const std::string& Data)
{
    const std::string DashBoundary = "--" + kBoundary;
    for (size_t uPos = Data.find(DashBoundary); uPos != std::string::npos;
         uPos = Data.find(DashBoundary, uPos + 1))
        if (uPos == 0 || Data[uPos - 1] == '\r' || Data[uPos - 1] == '\n')
            return true;
    return false;
}

std::string CText(std::string Text)
{
    Text.resize(std::strlen(Text.c_str())); // the interface takes C strings
    return Text;
}

void WriteFile(const std::string& Path, const std::string& Bytes)
{
    FILE* pFile = std::fopen(Path.c_str(), "wb");
    if (pFile == nullptr)
        Fail("cannot write a file");
    if (!Bytes.empty() && std::fwrite(Bytes.data(), 1, Bytes.size(), pFile) != Bytes.size())
        Fail("cannot write a file");
    std::fclose(pFile);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Files are written for every input: memory-backed /dev/shm keeps that cheap where it exists.
    char szShmDir[] = "/dev/shm/tarn_fuzz_XXXXXX";
    char szTmpDir[] = "/tmp/tarn_fuzz_XXXXXX";
    char* pszDir = mkdtemp(szShmDir);
    if (pszDir == nullptr)
        pszDir = mkdtemp(szTmpDir);
    if (pszDir == nullptr)
        Fail("no temporary directory");
    g_Dir = pszDir;
    std::atexit(&RemoveDir);
    NWLogSetSink(&DropLogLine, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    FuzzedDataProvider Input(pData, uSize);
    std::vector<Param> Params;
    NW_HttpClient Client;
    bool bExpectDelimiter = false;

    const int nCount = Input.ConsumeIntegralInRange<int>(0, kMaxParams);
    for (int i = 0; i < nCount && Input.remaining_bytes() > 0; ++i)
    {
        Param P;
        P.eKind = static_cast<Kind>(Input.ConsumeIntegralInRange<int>(0, 2));
        P.Name = CText(Input.ConsumeRandomLengthString(64));
        switch (P.eKind)
        {
        case Kind::Text:
            P.Value = CText(Input.ConsumeRandomLengthString(512));
            P.Bytes = P.Value;
            break;
        case Kind::File:
            P.Value = g_Dir + "/f" + std::to_string(i);
            P.Bytes = Input.ConsumeRandomLengthString(2048);
            WriteFile(P.Value, P.Bytes);
            break;
        case Kind::MissingFile:
            P.Value = CText("/nonexistent-tarn-fuzz/" + Input.ConsumeRandomLengthString(128));
            break;
        }
        const bool bFile = P.eKind != Kind::Text;
        const bool bSafe = !P.Name.empty() && IsSafeInHeader(P.Name) && (!bFile || IsSafeInHeader(P.Value));
        const int nAdded =
            Client.AddPostParam(bFile ? eBinaryFile : eNormal, P.Name.c_str(), P.Value.c_str());
        if (nAdded != (bSafe ? 1 : 0))
            Fail(bSafe ? "a safe parameter was refused" : "an unsafe parameter was taken");
        if (!nAdded)
            continue;
        bExpectDelimiter = bExpectDelimiter || HasDelimiterLine(P.Bytes);
        Params.push_back(P);
    }

    unsigned char* pbyBody = nullptr;
    DWORD dwBodySize = 0;
    const int nBuilt = Client.GetPostBuffer(&pbyBody, &dwBodySize);
    if (!nBuilt)
    {
        if (!bExpectDelimiter)
            Fail("the build failed without a delimiter in the data");
        return 0;
    }
    const std::string Body(reinterpret_cast<const char*>(pbyBody), dwBodySize);
    NW_BodyFree(pbyBody);
    if (bExpectDelimiter)
        Fail("a delimiter in the data was sent");

    std::vector<tarn::fuzz::StrictPart> Parts;
    if (!tarn::fuzz::ParseStrictMultipart(Body, kBoundary, Parts))
        Fail("the body does not parse");
    if (Parts.size() != Params.size())
        Fail("the number of parts differs");
    for (size_t i = 0; i < Parts.size(); ++i)
    {
        const tarn::fuzz::StrictPart& Part = Parts[i];
        const Param& P = Params[i];
        const bool bFile = P.eKind != Kind::Text;
        if (Part.Name != P.Name)
            Fail("a name differs");
        if (Part.bHasFileName != bFile || (bFile && Part.FileName != P.Value))
            Fail("a filename differs");
        if (Part.bHasContentType != bFile || (bFile && Part.ContentType != "application/octet-stream"))
            Fail("a content type differs");
        if (Part.Content != P.Bytes)
            Fail("a part's content differs");
    }
    return 0;
}
