// A Windows host that loads TarnInteraction.dll the way an engine does and runs a few requests
// against a loopback server, so the library can be exercised on a real WinINet (under Wine).
//
// Usage: WinSmoke.exe PORT FILE
//   PORT  a tarn_server on 127.0.0.1; FILE  a file to upload.
// Exits 0 when every check passes; prints one line per check.
#include "TarnInteraction/ITarnInteraction.h"
#include "TarnPattern.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
struct Result
{
    std::string Tag;
    int bResult;
    std::string Body;
};
std::vector<Result> g_Results;

void OnRequest(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    Result Item = {pszTag, bResult, std::string()};
    if (pbyData != nullptr)
        Item.Body.assign(reinterpret_cast<const char*>(pbyData), uSize);
    g_Results.push_back(Item);
}

int g_nPassed = 0;
int g_nFailures = 0;
void Check(bool bOk, const std::string& What)
{
    std::printf("%s %s\n", bOk ? "ok  " : "FAIL", What.c_str());
    (bOk ? g_nPassed : g_nFailures) += 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: WinSmoke PORT FILE\n");
        return 2;
    }
    const int nPort = std::atoi(argv[1]);
    const std::string Base = "http://127.0.0.1:" + std::string(argv[1]);

    HMODULE hModule = LoadLibraryA("TarnInteraction.dll");
    Check(hModule != nullptr, "LoadLibrary TarnInteraction.dll");
    if (hModule == nullptr)
        return 1;
    typedef ITarnInteraction* (*Factory)();
    Factory pfnCreate =
        reinterpret_cast<Factory>(reinterpret_cast<void*>(GetProcAddress(hModule, "CreateTarnInteraction")));
    Check(pfnCreate != nullptr, "GetProcAddress CreateTarnInteraction");
    if (pfnCreate == nullptr)
        return 1;

    ITarnInteraction* pInteraction = pfnCreate();
    Check(pInteraction != nullptr && pfnCreate() == pInteraction, "factory shares one object");
    Check(pInteraction->Release() == 1, "first Release keeps the object");

    Check(pInteraction->AddParam("player", "alice", 0) == 1, "AddParam text");
    Check(pInteraction->AddParam("upload", argv[2], 1) == 1, "AddParam file");
    Check(pInteraction->GetParamCount() == 2, "GetParamCount");
    pInteraction->Request("post", "127.0.0.1", "/upload", "POST", nPort, &OnRequest);
    pInteraction->Request("get", Base.c_str(), "/bytes/100000", "", 0, &OnRequest);
    pInteraction->Request("chunked", Base.c_str(), "/bytes/20000?chunked=1", "", 0, &OnRequest);
    pInteraction->Request("missing", Base.c_str(), "/status/404", "", 0, &OnRequest);

    for (int i = 0; i < 30000 && g_Results.size() < 4; ++i)
    {
        pInteraction->Poll();
        Sleep(1);
    }
    Check(g_Results.size() == 4, "four results delivered");
    for (const Result& Item : g_Results)
    {
        if (Item.Tag == "post")
            Check(Item.bResult == 1 && Item.Body.find("name=player filename= size=5") == 0 &&
                      Item.Body.find("name=upload filename=") != std::string::npos,
                  "POST parsed by the server: " + Item.Body.substr(0, Item.Body.find('\n')));
        else if (Item.Tag == "get")
            Check(Item.bResult == 1 && Item.Body == tarn::PatternBytes(100000), "GET of 100000 bytes");
        else if (Item.Tag == "chunked")
            Check(Item.bResult == 1 && Item.Body == tarn::PatternBytes(20000), "chunked GET of 20000 bytes");
        else if (Item.Tag == "missing")
            Check(Item.bResult == 0 && Item.Body.empty(), "404 reported as a failure");
    }
    Check(pInteraction->Release() == 0, "last Release destroys the object");
    FreeLibrary(hModule);
    std::printf("%d passed, %d failed\n", g_nPassed, g_nFailures);
    return g_nFailures == 0 ? 0 : 1;
}
