// A host built against the installed headers and libraries only: the factory, the parameters,
// the log sink and, given a loopback server's address, one GET through Poll.
#include "EngineCore/NWLog.h"
#include "TarnInteraction/ITarnInteraction.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace
{
int g_nLogLines = 0;
int g_nDelivered = 0;
int g_bResult = 0;
std::string g_Tag;
std::string g_Body;

void CountRecord(NWLOG_PRIORITY, const char*, void*)
{
    ++g_nLogLines;
}

void OnDone(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    ++g_nDelivered;
    g_bResult = bResult;
    g_Tag = pszTag;
    if (pbyData != nullptr)
        g_Body.assign(reinterpret_cast<const char*>(pbyData), uSize);
}

int Fail(const char* pszWhat)
{
    std::fprintf(stderr, "installed host: %s\n", pszWhat);
    return 1;
}
} // namespace

int main(int argc, char** argv)
{
    NWLogSetSink(&CountRecord, nullptr);
    ITarnInteraction* pInteraction = CreateTarnInteraction();
    if (pInteraction == nullptr)
        return Fail("CreateTarnInteraction returned null");
    if (CreateTarnInteraction() != pInteraction || pInteraction->Release() != 1)
        return Fail("a second holder does not share the object");

    char* pszName = nullptr;
    char* pszValue = nullptr;
    if (pInteraction->AddParam("player", "alice", 0) != 1 || pInteraction->GetParamCount() != 1 ||
        pInteraction->GetParam(0, &pszName, &pszValue) != 1 || std::strcmp(pszName, "player") != 0 ||
        std::strcmp(pszValue, "alice") != 0)
        return Fail("a parameter does not read back");
    if (pInteraction->AddParam("bad\"name", "x", 0) != 0 || g_nLogLines == 0)
        return Fail("a refused name is not refused with a log line");
    if (pInteraction->ClearParam() != 1 || pInteraction->GetParamCount() != 0)
        return Fail("ClearParam leaves parameters");

    if (argc > 1)
    {
        // argv[1] is "http://127.0.0.1:PORT" of a tarn_server.
        if (pInteraction->Request("installed", argv[1], "/bytes/1000", "", 0, &OnDone) != 1)
            return Fail("Request did not start");
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (g_nDelivered == 0 && std::chrono::steady_clock::now() < Deadline)
        {
            pInteraction->Poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (g_nDelivered != 1 || g_Tag != "installed")
            return Fail("the GET was not delivered");
        if (g_bResult != 1 || g_Body.size() != 1000)
            return Fail("the GET did not bring back 1000 bytes");
    }

    if (pInteraction->Release() != 0)
        return Fail("the last Release does not return 0");
    NWLogSetSink(nullptr, nullptr);
    std::printf("installed host: ok\n");
    return 0;
}
