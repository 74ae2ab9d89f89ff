// The time-outs every transfer runs with.
#include "NW_TransferTimeOuts.h"

BOOL NW_SetTimeOuts(HINTERNET hInternet, DWORD dwReceiveMs)
{
    DWORD dwConnectMs = NW_CONNECT_TIMEOUT_MS;
    DWORD dwSendMs = NW_SEND_TIMEOUT_MS;
    return InternetSetOptionA(hInternet, INTERNET_OPTION_CONNECT_TIMEOUT, &dwConnectMs,
                              sizeof(dwConnectMs)) &&
           InternetSetOptionA(hInternet, INTERNET_OPTION_SEND_TIMEOUT, &dwSendMs, sizeof(dwSendMs)) &&
           InternetSetOptionA(hInternet, INTERNET_OPTION_RECEIVE_TIMEOUT, &dwReceiveMs, sizeof(dwReceiveMs));
}
