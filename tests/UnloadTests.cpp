// A host that loads the library at run time and unloads it again: the connections kept for reuse
// and the thread that keeps them must not outlive the module.
#include "TarnInteraction/ITarnInteraction.h"
#include "TarnServer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace
{
typedef ITarnInteraction* (*CreateFunction)();

int g_nCallbacks = 0;
int g_bResult = 0;

bool ThreadNamed(const std::string& Name)
{
    bool bFound = false;
    if (DIR* pDir = opendir("/proc/self/task"))
    {
        while (dirent* pEntry = readdir(pDir))
        {
            std::string Comm;
            std::getline(std::ifstream(std::string("/proc/self/task/") + pEntry->d_name + "/comm"), Comm);
            bFound = bFound || Comm == Name;
        }
        closedir(pDir);
    }
    return bFound;
}
} // namespace

TEST(UnloadTest, UnloadingEndsTheNetworkThreadAndItsKeptConnections)
{
    tarn::TarnServer Server;
    Server.EnableKeepAlive();
    const int nPort = Server.Start();
    ASSERT_NE(0, nPort);

    void* pvModule = dlopen(TARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pvModule) << dlerror();
    auto pfnCreate = reinterpret_cast<CreateFunction>(dlsym(pvModule, "CreateTarnInteraction"));
    ASSERT_NE(nullptr, pfnCreate);
    ITarnInteraction* pInteraction = pfnCreate();
    ASSERT_NE(nullptr, pInteraction);
    ASSERT_TRUE(pInteraction->Request("get", Server.BaseUrl().c_str(), "/bytes/100", "", 0,
                                      [](const char*, int bResult, const unsigned char*, unsigned int)
                                      {
                                          ++g_nCallbacks;
                                          g_bResult = bResult;
                                      }));
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_nCallbacks == 0 && std::chrono::steady_clock::now() < Deadline)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pInteraction->Release();
    ASSERT_EQ(1, g_nCallbacks);
    EXPECT_EQ(1, g_bResult);
    // The connection is kept, so the thread that keeps it is still there.
    EXPECT_TRUE(ThreadNamed("tarn-network"));

    dlclose(pvModule);
    EXPECT_EQ(nullptr, dlopen(TARN_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD)) << "the module stayed loaded";
    EXPECT_FALSE(ThreadNamed("tarn-network"));
    // A thread left running in the unloaded code would crash the process on its next wake-up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
}
