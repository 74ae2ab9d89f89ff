// The GET's send on our Linux layer: libcurl bounds each phase with the time-outs set on the request.
#include "NW_SendWatch.h"

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
    return HttpSendRequestA(*phRequest, cszHeaders, static_cast<DWORD>(-1), nullptr, 0) ? 1 : 0;
}
