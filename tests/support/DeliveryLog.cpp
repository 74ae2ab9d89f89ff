#include "DeliveryLog.h"

#include <thread>

std::vector<Delivery>& DeliveryLog::Items()
{
    static std::vector<Delivery> s_Items;
    return s_Items;
}

std::function<void(const Delivery&)>& DeliveryLog::AfterEach()
{
    static std::function<void(const Delivery&)> s_After;
    return s_After;
}

void DeliveryLog::OnSend(const char* pszTag, int bResult)
{
    Delivery Item;
    Item.Tag = pszTag;
    Item.bResult = bResult;
    Items().push_back(Item);
    if (AfterEach())
        AfterEach()(Item);
}

void DeliveryLog::OnRequest(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    Delivery Item;
    Item.Tag = pszTag;
    Item.bResult = bResult;
    Item.bFromRequest = true;
    Item.bNullData = pbyData == nullptr;
    if (pbyData != nullptr)
    {
        Item.Data.assign(reinterpret_cast<const char*>(pbyData), uSize);
        Item.bTerminated = pbyData[uSize] == 0;
    }
    Items().push_back(Item);
    if (AfterEach())
        AfterEach()(Item);
}

bool PollUntil(ITarnInteraction* pInteraction, const std::function<bool()>& bDone,
               std::chrono::milliseconds Limit)
{
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (!bDone() && std::chrono::steady_clock::now() < Deadline)
    {
        pInteraction->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return bDone();
}

OneRequestEnd DeliverThenRelease(ITarnInteraction* pInteraction, std::chrono::steady_clock::time_point Start)
{
    OneRequestEnd End;
    End.bDelivered = PollUntil(
        pInteraction, [] { return !DeliveryLog::Items().empty(); }, std::chrono::seconds(120));
    End.Took = std::chrono::steady_clock::now() - Start;
    PollUntil(
        pInteraction, [] { return false; }, std::chrono::milliseconds(50));
    const auto ReleaseStart = std::chrono::steady_clock::now();
    pInteraction->Release();
    End.ReleaseTook = std::chrono::steady_clock::now() - ReleaseStart;
    return End;
}

bool WaitUntil(const std::function<bool()>& bDone, std::chrono::milliseconds Limit)
{
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (!bDone() && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bDone();
}
