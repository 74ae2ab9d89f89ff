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

bool WaitUntil(const std::function<bool()>& bDone, std::chrono::milliseconds Limit)
{
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (!bDone() && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bDone();
}
