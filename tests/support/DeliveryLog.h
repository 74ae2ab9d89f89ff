#pragma once

// Records what the library's callbacks receive, for tests of the interaction object.
#include "TarnInteraction/ITarnInteraction.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct Delivery
{
    std::string Tag;
    int bResult = -1;
    bool bFromRequest = false;
    bool bNullData = true;
    bool bTerminated = false; // the byte after the data is 0
    std::string Data;
};

// Callbacks carry no user pointer, so the record is process-wide. Tests clear it first.
class DeliveryLog
{
public:
    static std::vector<Delivery>& Items();
    static void Clear() { Items().clear(); }

    static void OnSend(const char* pszTag, int bResult);
    static void OnRequest(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize);

    // Something a callback does after recording itself (call Poll, Send, Release...).
    static std::function<void(const Delivery&)>& AfterEach();
};

// Calls Poll until bDone() holds or the time runs out (the library never blocks, so this is the
// host's loop in miniature). Returns bDone().
bool PollUntil(ITarnInteraction* pInteraction, const std::function<bool()>& bDone,
               std::chrono::milliseconds Limit = std::chrono::seconds(60));

// The end of a case with one request started at Start: polls until it is delivered (2 minutes at
// most), a few passes more, where a second callback for it would show, then calls Release.
struct OneRequestEnd
{
    bool bDelivered = false;
    std::chrono::steady_clock::duration Took{};        // from Start to the callback
    std::chrono::steady_clock::duration ReleaseTook{}; // how long Release held the caller
};
OneRequestEnd DeliverThenRelease(ITarnInteraction* pInteraction, std::chrono::steady_clock::time_point Start);

// Waits, without polling, until a condition holds or the time runs out.
bool WaitUntil(const std::function<bool()>& bDone,
               std::chrono::milliseconds Limit = std::chrono::seconds(60));
