#pragma once

// The objects behind WinINet handles (session, connection, request) and the registry that maps
// handle values to them.
//
// A handle value is a number from a counter, never reused and never an address, so a closed or
// made-up handle is simply not found. The registry holds a shared reference to each live object;
// a call takes its own reference for its whole length, so closing a handle on one thread while
// another thread is inside a call on it cannot free the object under that call.
#include "Win32Layer/WinInet.h"

#include <atomic>
#include <memory>
#include <string>

namespace tarn
{
namespace inet
{
enum class HandleKind
{
    Session,
    Connection,
    Request
};

// WinINet's defaults for the three time-outs, in milliseconds.
constexpr DWORD kDefaultTimeoutMs = 60000;

struct Timeouts
{
    DWORD dwConnectMs = kDefaultTimeoutMs;
    DWORD dwSendMs = kDefaultTimeoutMs;
    DWORD dwReceiveMs = kDefaultTimeoutMs;
};

// What InternetOpenA fixes for a session and everything opened from it.
struct SessionSettings
{
    std::string Agent;       // empty: no User-Agent line
    DWORD dwAccessType = 0;  // INTERNET_OPEN_TYPE_*
    std::string Proxy;       // INTERNET_OPEN_TYPE_PROXY only: WinINet's proxy list
    std::string ProxyBypass; // INTERNET_OPEN_TYPE_PROXY only: WinINet's bypass list
};

class InetObject
{
public:
    InetObject(HandleKind eKind, const Timeouts& InitialTimeouts);
    virtual ~InetObject() = default;

    InetObject(const InetObject&) = delete;
    InetObject& operator=(const InetObject&) = delete;

    HandleKind Kind() const { return m_eKind; }

    // The handle's own time-outs; what it opens starts with a copy of them. Any thread.
    Timeouts GetTimeouts() const;
    // INTERNET_OPTION_CONNECT_TIMEOUT, _SEND_TIMEOUT or _RECEIVE_TIMEOUT; false for other options.
    bool SetTimeout(DWORD dwOption, DWORD dwMilliseconds);

    // Called once when the handle is closed, from the closing thread: a call that is blocked on
    // the handle in another thread returns as soon as it can.
    virtual void OnClose() {}

private:
    const HandleKind m_eKind;
    std::atomic<DWORD> m_dwConnectMs;
    std::atomic<DWORD> m_dwSendMs;
    std::atomic<DWORD> m_dwReceiveMs;
};

class InetSession : public InetObject
{
public:
    explicit InetSession(std::shared_ptr<const SessionSettings> pSettings)
        : InetObject(HandleKind::Session, Timeouts()), m_pSettings(std::move(pSettings))
    {
    }
    const std::shared_ptr<const SessionSettings>& Settings() const { return m_pSettings; }

private:
    const std::shared_ptr<const SessionSettings> m_pSettings;
};

class InetConnection : public InetObject
{
public:
    InetConnection(const InetSession& Session, std::string Server, INTERNET_PORT nPort, DWORD dwFlags,
                   std::string UserInfo)
        : InetObject(HandleKind::Connection, Session.GetTimeouts()), m_pSettings(Session.Settings()),
          m_Server(std::move(Server)), m_nPort(nPort), m_dwFlags(dwFlags), m_UserInfo(std::move(UserInfo))
    {
    }
    const std::shared_ptr<const SessionSettings>& Settings() const { return m_pSettings; }
    const std::string& Server() const { return m_Server; }
    INTERNET_PORT Port() const { return m_nPort; }
    DWORD Flags() const { return m_dwFlags; }
    // "user:password@", escaped for an address, or empty.
    const std::string& UserInfo() const { return m_UserInfo; }

private:
    const std::shared_ptr<const SessionSettings> m_pSettings;
    const std::string m_Server;
    const INTERNET_PORT m_nPort; // INTERNET_INVALID_PORT_NUMBER: the scheme's default
    const DWORD m_dwFlags;
    const std::string m_UserInfo;
};

// Registers a new object and returns its handle (null when the object is null).
HINTERNET RegisterHandle(std::shared_ptr<InetObject> pObject);

// The live object of a handle; null when the handle is null, closed or unknown.
std::shared_ptr<InetObject> LookupHandle(HINTERNET hInternet);

// Takes the handle out of the registry and returns its object, or null when there is none.
std::shared_ptr<InetObject> UnregisterHandle(HINTERNET hInternet);

// The object of a handle of the wanted kind: ERROR_INVALID_HANDLE for a null, closed or unknown
// handle, ERROR_INTERNET_INCORRECT_HANDLE_TYPE for a handle of another kind.
template <typename T> DWORD LookupAs(HINTERNET hInternet, HandleKind eKind, std::shared_ptr<T>& pOut)
{
    std::shared_ptr<InetObject> pObject = LookupHandle(hInternet);
    if (!pObject)
        return ERROR_INVALID_HANDLE;
    if (pObject->Kind() != eKind)
        return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    pOut = std::static_pointer_cast<T>(std::move(pObject));
    return ERROR_SUCCESS;
}
} // namespace inet
} // namespace tarn
