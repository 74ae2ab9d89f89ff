// The send on our Linux layer: libcurl bounds each phase with the time-outs set on the request.
#include "NW_SendWatch.h"

#include <cstring>

NW_SendWatch::NW_SendWatch(DWORD dwConnectMs, DWORD dwReceiveMs, DWORD dwSendMs)
    : m_pState(nullptr), m_dwConnectMs(dwConnectMs), m_dwReceiveMs(dwReceiveMs), m_dwSendMs(dwSendMs)
{
}

NW_SendWatch::~NW_SendWatch() = default;

int NW_SendWatch::Prepare(DWORD_PTR* pdwContext)
{
    *pdwContext = 0;
    return 1;
}

int NW_SendWatch::Send(HINTERNET* phRequest, const char* cszHeaders)
{
    INTERNET_BUFFERSA BuffersIn;

    if (cszHeaders != nullptr)
        return HttpSendRequestA(*phRequest, cszHeaders, static_cast<DWORD>(-1), nullptr, 0) ? 1 : 0;
    // The body's length reaches the server through the request's Content-Length header alone.
    std::memset(&BuffersIn, 0, sizeof(BuffersIn));
    BuffersIn.dwStructSize = sizeof(BuffersIn);
    return HttpSendRequestExA(*phRequest, &BuffersIn, nullptr, HSR_INITIATE, 0) ? 1 : 0;
}
