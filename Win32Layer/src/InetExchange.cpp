#include "InetExchange.h"

#include "InetFraming.h"

#include <algorithm>
#include <cstring>

namespace tarn
{
namespace inet
{
namespace
{
bool IsRedirect(DWORD dwStatus)
{
    return dwStatus == 301 || dwStatus == 302 || dwStatus == 303 || dwStatus == 307 || dwStatus == 308;
}

bool IsLive(ExchangePhase ePhase)
{
    return ePhase != ExchangePhase::Done && ePhase != ExchangePhase::Failed;
}

// Copies what the source still holds, at most uCapacity bytes and uRemaining of the body.
size_t CopyFrom(const unsigned char* pFrom, size_t uAvailable, char* pBuffer, size_t uCapacity,
                std::uint64_t uRemaining)
{
    const size_t uCount = static_cast<size_t>(std::min<std::uint64_t>({uCapacity, uRemaining, uAvailable}));
    std::memcpy(pBuffer, pFrom, uCount);
    return uCount;
}
} // namespace

bool CanAdvance(ExchangePhase eFrom, ExchangePhase eTo)
{
    using P = ExchangePhase;
    switch (eFrom)
    {
    case P::Connecting:
        return eTo == P::Sending || eTo == P::Failed;
    case P::Sending:
        return eTo == P::Uploading || eTo == P::Redirecting || eTo == P::Body || eTo == P::Failed;
    case P::Uploading:
        return eTo == P::Redirecting || eTo == P::Body || eTo == P::Failed;
    case P::Redirecting:
    case P::Body:
        return eTo == P::Done || eTo == P::Failed;
    case P::Done:
    case P::Failed:
        break;
    }
    return false;
}

size_t ReceiveWindow::Take(unsigned char* pOut, size_t uMax)
{
    const size_t uCount = std::min(uMax, Held());
    if (uCount != 0)
        std::memcpy(pOut, Bytes.data() + uPos, uCount);
    uPos += uCount;
    if (Empty())
    {
        Bytes.clear(); // keeps its capacity
        uPos = 0;
    }
    return uCount;
}

void ReceiveWindow::Keep(const char* pBegin, const char* pEnd)
{
    // Bytes already taken make room first, so that the window stays within its limit's size.
    if (uPos != 0 && uPos >= Held())
    {
        Bytes.erase(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(uPos));
        uPos = 0;
    }
    Bytes.insert(Bytes.end(), pBegin, pEnd);
}

void ExchangeState::Reset(UploadBody* pBody, bool bFollowRedirects)
{
    m_ePhase = m_eReached = ExchangePhase::Connecting;
    m_dwError = ERROR_SUCCESS;
    m_uProgress = 0;
    m_LastProgressAt = std::chrono::steady_clock::now();
    m_pBody = pBody;
    m_bFollowRedirects = bFollowRedirects;
    m_uBodySent = 0;
    m_nPausedBits = 0;
    m_Pending = ResponseHead();
    m_Head = ResponseHead();
    m_Location.clear();
    m_dwRedirectStatus = 0;
    m_Window.Bytes.clear();
    m_Window.uPos = 0;
    m_Source = CallerBuffer<const unsigned char>();
    m_Target = CallerBuffer<unsigned char>();
}

bool ExchangeState::Advance(ExchangePhase eTo)
{
    if (!CanAdvance(m_ePhase, eTo))
        return false;
    m_ePhase = eTo;
    if (IsLive(eTo))
        m_eReached = eTo;
    return true;
}

bool ExchangeState::Ended() const
{
    return !IsLive(m_ePhase);
}

void ExchangeState::Fail(DWORD dwError)
{
    if (Advance(ExchangePhase::Failed))
        m_dwError = dwError;
}

void ExchangeState::OnConnected()
{
    Advance(ExchangePhase::Sending);
}

void ExchangeState::AddProgress(std::uint64_t uBytes)
{
    m_uProgress += uBytes;
    m_LastProgressAt = std::chrono::steady_clock::now();
}

bool ExchangeState::OnHeaderLine(const char* pData, size_t uLength)
{
    AddProgress(uLength);
    // Trailers after a chunked body, or the rest of a head that is being left for a redirect.
    if (Answered() || Ended())
        return !Ended();
    if (m_ePhase == ExchangePhase::Connecting)
        Advance(ExchangePhase::Sending);
    if (m_Pending.AddLine(std::string(pData, uLength)))
        OnHeadComplete();
    return !Ended();
}

void ExchangeState::OnHeadComplete()
{
    const DWORD dwStatus = m_Pending.dwStatus;
    if (dwStatus < 200)
    {
        // 100 Continue and the other interim answers: the real head follows.
        m_Pending = ResponseHead();
        return;
    }
    if (IsRedirect(dwStatus) && m_bFollowRedirects)
    {
        const HeaderLine* pLocation = m_Pending.Find("Location");
        // A 307 or 308 sends the body again, which works only while a copy of all of it is at hand.
        const bool bKeepsBody = dwStatus == 307 || dwStatus == 308;
        if (pLocation != nullptr && !pLocation->Value.empty() && (!bKeepsBody || CanSendBodyAgain()) &&
            Advance(ExchangePhase::Redirecting))
        {
            m_Location = pLocation->Value;
            m_dwRedirectStatus = dwStatus;
            return;
        }
    }
    // A body of unknown length is not read at all: the exchange ends with the head.
    const DWORD dwFramingError = CheckFraming(m_Pending);
    if (dwFramingError != ERROR_SUCCESS || !Advance(ExchangePhase::Body))
    {
        Fail(dwFramingError != ERROR_SUCCESS ? dwFramingError : ERROR_HTTP_INVALID_SERVER_RESPONSE);
        return;
    }
    m_Head = std::move(m_Pending);
    m_Pending = ResponseHead();
}

// Whether all of the body has gone to libcurl from the caller's writes, each of which the owner
// copied to the replay first.
bool ExchangeState::CanSendBodyAgain() const
{
    return !m_pBody->bHasBody || (m_pBody->bKeepReplay && m_uBodySent == m_pBody->uLength);
}

bool ExchangeState::OnBody(const char* pData, size_t uLength, size_t uWindowLimit)
{
    if (RedirectPending())
        return true; // the body of a redirect is not wanted
    if (m_Window.Held() >= uWindowLimit)
    {
        m_nPausedBits |= CURLPAUSE_RECV;
        return false;
    }
    // A waiting caller has taken everything in the window already.
    size_t uDirect = 0;
    if (m_Target.pData != nullptr && m_Window.Empty())
    {
        uDirect = std::min(uLength, m_Target.uSize - m_Target.uDone);
        std::memcpy(m_Target.pData + m_Target.uDone, pData, uDirect);
        m_Target.uDone += uDirect;
    }
    if (uDirect < uLength)
        m_Window.Keep(pData + uDirect, pData + uLength);
    AddProgress(uLength);
    return true;
}

size_t ExchangeState::GiveUpload(char* pBuffer, size_t uCapacity)
{
    if (m_ePhase == ExchangePhase::Sending)
        Advance(ExchangePhase::Uploading);
    const std::uint64_t uRemaining = m_pBody->uLength - m_uBodySent;
    if (uRemaining == 0)
        return 0;
    size_t uGiven = 0;
    if (m_pBody->bKeepReplay && m_uBodySent < m_pBody->Replay.size())
    {
        // The caller's bytes are in the copy already: the copy is sent, and the caller's buffer
        // counts as taken as far as the copy has gone.
        const std::string& Replay = m_pBody->Replay;
        uGiven = CopyFrom(reinterpret_cast<const unsigned char*>(Replay.data()) + m_uBodySent,
                          Replay.size() - static_cast<size_t>(m_uBodySent), pBuffer, uCapacity, uRemaining);
        const std::uint64_t uSourceStart = Replay.size() - m_Source.uSize;
        const std::uint64_t uSentEnd = m_uBodySent + uGiven;
        if (uSentEnd > uSourceStart)
            m_Source.uDone = std::max(m_Source.uDone, static_cast<size_t>(uSentEnd - uSourceStart));
    }
    else if (!m_pBody->bKeepReplay && m_Source.pData != nullptr && !m_Source.Full())
    {
        uGiven = CopyFrom(m_Source.pData + m_Source.uDone, m_Source.uSize - m_Source.uDone, pBuffer,
                          uCapacity, uRemaining);
        m_Source.uDone += uGiven;
    }
    else if (Answered())
        return 0; // the server has answered; the rest of the body is not wanted
    else
    {
        m_nPausedBits |= CURLPAUSE_SEND;
        return CURL_READFUNC_PAUSE;
    }
    m_uBodySent += uGiven;
    AddProgress(uGiven);
    return uGiven;
}

// libcurl asks only when no byte of an answer has come on the connection that closed, so the
// server cannot have acted on the request.
bool ExchangeState::RewindUpload()
{
    if (m_uBodySent != 0 && !m_pBody->bKeepReplay)
        return false;
    m_uBodySent = 0;
    return true;
}

void ExchangeState::OfferUpload(const void* pData, size_t uLength)
{
    // The copy grows before libcurl sees the bytes, so that it always holds what has been sent.
    if (m_pBody->bKeepReplay)
        m_pBody->Replay.append(static_cast<const char*>(pData), uLength);
    m_Source = {static_cast<const unsigned char*>(pData), uLength, 0};
}

size_t ExchangeState::TakeReceived(unsigned char* pOut, size_t uMax)
{
    return m_Window.Take(pOut, uMax);
}

size_t ExchangeState::WithdrawTarget()
{
    const size_t uDone = m_Target.uDone;
    m_Target = CallerBuffer<unsigned char>();
    return uDone;
}
} // namespace inet
} // namespace tarn
