// NW_SendWatch: a request's send on a thread of its own, bounded by phase.
#include "NW_SendWatch.h"

#include "NW_Log.h"

#include <new>

namespace
{
// Where a phase's deadline falls after its limit. WinINet bounds connecting, sending and the wait for
// the answer itself, and should end them with its own error: there the deadline is a backstop, late
// enough for a loaded machine. Wine bounds no handshake: there it is the only end, and comes soon.
const DWORD NW_BACKSTOP_MARGIN_MS = 600;
const DWORD NW_HANDSHAKE_MARGIN_MS = 250;
// How long a closed request may take to return before the worker stops waiting for it.
const DWORD NW_ABANDON_GRACE_MS = 300;
const DWORD NW_SENDER_STACK_SIZE = 64 * 1024;
} // namespace

// Shared by the worker and the sending thread; the last of the two to let go frees it.
struct NW_SEND_STATE
{
    volatile LONG lRefs;
    volatile LONGLONG llDeadline; // GetTickCount64() value
    DWORD dwReceiveMs;
    DWORD dwSendMs;
    HINTERNET hRequest;
    const char* cszHeaders; // static text of the module, which the sender keeps loaded; null: a
                            // request whose body follows (HttpSendRequestExA)
    BOOL bSent;
    DWORD dwError;
    HANDLE hDone;
    HANDLE hMoved; // set when the deadline moves, which may bring it closer
    HMODULE hModule;
};

namespace
{
void ReleaseState(NW_SEND_STATE* pState)
{
    if (InterlockedDecrement(&pState->lRefs) != 0)
        return;
    if (pState->hDone != nullptr)
        CloseHandle(pState->hDone);
    if (pState->hMoved != nullptr)
        CloseHandle(pState->hMoved);
    delete pState;
}

void MoveDeadline(NW_SEND_STATE* pState, DWORD dwLimitMs, DWORD dwMarginMs)
{
    InterlockedExchange64(&pState->llDeadline,
                          static_cast<LONGLONG>(GetTickCount64() + dwLimitMs + dwMarginMs));
    SetEvent(pState->hMoved);
}

// WinINet reports the send's phases on the sending thread. Once connected, the handshake waits for
// the server's data; the request then goes out, and the answer is waited for.
void CALLBACK OnStatus(HINTERNET /*hInternet*/, DWORD_PTR dwContext, DWORD dwStatus, LPVOID /*pvInfo*/,
                       DWORD /*dwInfoLength*/)
{
    NW_SEND_STATE* pState = reinterpret_cast<NW_SEND_STATE*>(dwContext);
    if (pState == nullptr)
        return;
    switch (dwStatus)
    {
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
        MoveDeadline(pState, pState->dwReceiveMs, NW_HANDSHAKE_MARGIN_MS);
        break;
    case INTERNET_STATUS_SENDING_REQUEST:
        MoveDeadline(pState, pState->dwSendMs, NW_BACKSTOP_MARGIN_MS);
        break;
    case INTERNET_STATUS_REQUEST_SENT:
        MoveDeadline(pState, pState->dwReceiveMs, NW_BACKSTOP_MARGIN_MS);
        break;
    default:
        break;
    }
}

DWORD WINAPI SendProc(LPVOID pvState)
{
    NW_SEND_STATE* pState = static_cast<NW_SEND_STATE*>(pvState);
    const HMODULE hModule = pState->hModule;
    INTERNET_BUFFERSA BuffersIn;
    // The body's length reaches the server through the request's Content-Length header alone.
    ZeroMemory(&BuffersIn, sizeof(BuffersIn));
    BuffersIn.dwStructSize = sizeof(BuffersIn);
    if (pState->cszHeaders == nullptr)
        pState->bSent = HttpSendRequestExA(pState->hRequest, &BuffersIn, nullptr, HSR_INITIATE, 0);
    else
        pState->bSent =
            HttpSendRequestA(pState->hRequest, pState->cszHeaders, static_cast<DWORD>(-1), nullptr, 0);
    pState->dwError = pState->bSent ? ERROR_SUCCESS : GetLastError();
    SetEvent(pState->hDone);
    ReleaseState(pState);
    // This code stays loaded until the thread is out of it.
    FreeLibraryAndExitThread(hModule, 0);
}

// Waits until the send returns (true) or its phase outlives the deadline, which moves on as phases
// pass (false). A wait that failed counts as an expired one.
bool WaitForSend(NW_SEND_STATE* pState)
{
    DWORD dwWait = WAIT_TIMEOUT;
    while (dwWait != WAIT_OBJECT_0)
    {
        const HANDLE rghWaits[] = {pState->hDone, pState->hMoved};
        const ULONGLONG ullNow = GetTickCount64();
        const ULONGLONG ullDeadline =
            static_cast<ULONGLONG>(InterlockedCompareExchange64(&pState->llDeadline, 0, 0));
        if (ullNow >= ullDeadline)
            return false;
        dwWait = WaitForMultipleObjects(2, rghWaits, FALSE, static_cast<DWORD>(ullDeadline - ullNow));
        if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_OBJECT_0 + 1 && dwWait != WAIT_TIMEOUT)
            return false;
    }
    return true;
}
} // namespace

NW_SendWatch::NW_SendWatch(DWORD dwConnectMs, DWORD dwReceiveMs, DWORD dwSendMs)
    : m_pState(nullptr), m_dwConnectMs(dwConnectMs), m_dwReceiveMs(dwReceiveMs), m_dwSendMs(dwSendMs)
{
}

NW_SendWatch::~NW_SendWatch()
{
    if (m_pState != nullptr)
        ReleaseState(m_pState);
}

int NW_SendWatch::Prepare(DWORD_PTR* pdwContext)
{
    int nResult = 0;

    NWLOG_PROCESS_ERROR(m_pState == nullptr);
    m_pState = new (std::nothrow) NW_SEND_STATE();
    if (m_pState == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    NWLOG_PROCESS_ERROR(m_pState);
    m_pState->lRefs = 1;
    m_pState->dwReceiveMs = m_dwReceiveMs;
    m_pState->dwSendMs = m_dwSendMs;
    m_pState->hDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    NWLOG_PROCESS_ERROR(m_pState->hDone);
    m_pState->hMoved = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    NWLOG_PROCESS_ERROR(m_pState->hMoved);

    *pdwContext = reinterpret_cast<DWORD_PTR>(m_pState);
    nResult = 1;
Exit0:
    return nResult;
}

int NW_SendWatch::Send(HINTERNET* phRequest, const char* cszHeaders)
{
    int nResult = 0;
    int nRetCode = 0;
    bool bInTime = true;
    DWORD dwError = ERROR_SUCCESS;
    HANDLE hSender = nullptr;
    HMODULE hModule = nullptr;

    NWLOG_PROCESS_ERROR(m_pState);
    NWLOG_PROCESS_ERROR(*phRequest);

    // The callback is set after the time-outs and before anything goes out; it is taken off again
    // before the state can go, so that a later status never reaches a freed one.
    InternetSetStatusCallbackA(*phRequest, &OnStatus);
    m_pState->hRequest = *phRequest;
    m_pState->cszHeaders = cszHeaders;
    MoveDeadline(m_pState, m_dwConnectMs, NW_BACKSTOP_MARGIN_MS);

    nRetCode = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&SendProc),
                                  &hModule);
    NWLOG_PROCESS_ERROR(nRetCode);
    m_pState->hModule = hModule;
    InterlockedIncrement(&m_pState->lRefs);
    hSender = CreateThread(nullptr, NW_SENDER_STACK_SIZE, &SendProc, m_pState,
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (hSender == nullptr)
    {
        dwError = GetLastError();
        InterlockedDecrement(&m_pState->lRefs);
        FreeLibrary(hModule);
        SetLastError(dwError);
    }
    NWLOG_PROCESS_ERROR(hSender);
    CloseHandle(hSender);

    bInTime = WaitForSend(m_pState);
    if (!bInTime)
    {
        // Closing the request ends the pending call on Windows; Wine's may go on regardless.
        InternetCloseHandle(*phRequest);
        *phRequest = nullptr;
        WaitForSingleObject(m_pState->hDone, NW_ABANDON_GRACE_MS);
        SetLastError(ERROR_INTERNET_TIMEOUT);
    }
    NWLOG_PROCESS_ERROR(bInTime);

    InternetSetStatusCallbackA(*phRequest, nullptr);
    SetLastError(m_pState->dwError);
    // A send that failed by itself is the caller's to log, as HttpSendRequestA's failure is.
    nResult = m_pState->bSent ? 1 : 0;
Exit0:
    return nResult;
}
