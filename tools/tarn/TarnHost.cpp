#include "TarnHost.h"

#include "TarnInteraction/ITarnInteraction.h"

#include <cassert>
#include <thread>

namespace tarn
{
namespace
{
// The pause between two passes of the loop, as a frame of an engine would leave between polls.
constexpr std::chrono::milliseconds kPassPause(2);
// The interaction object keeps this many characters of a tag; the callback gets them back.
constexpr std::size_t kMaxTagChars = 255;

double SecondsSince(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}
} // namespace

Host* Host::s_pCurrent = nullptr;

Host::Host() : m_pInteraction(CreateTarnInteraction())
{
    assert(s_pCurrent == nullptr);
    s_pCurrent = this;
}

Host::~Host()
{
    if (m_pInteraction != nullptr)
        m_pInteraction->Release();
    s_pCurrent = nullptr;
}

std::size_t Host::AddJob(const std::string& Tag, const std::string& Label, bool bWantBody)
{
    Job NewJob;
    NewJob.Tag = Tag.substr(0, kMaxTagChars);
    NewJob.Label = Label;
    NewJob.bWantBody = bWantBody;
    NewJob.Started = std::chrono::steady_clock::now();
    m_Jobs.push_back(NewJob);
    const std::size_t uIndex = m_Jobs.size() - 1;
    if (!m_TagIndex.emplace(m_Jobs[uIndex].Tag, uIndex).second)
        Refuse(uIndex, "tag already in use");
    else if (m_pInteraction == nullptr)
        Refuse(uIndex, "no interaction object");
    return uIndex;
}

void Host::Refuse(std::size_t uIndex, const std::string& Note)
{
    Job& Refused = m_Jobs[uIndex];
    if (Refused.bDelivered)
        return;
    Refused.bDelivered = true;
    Refused.bResult = false;
    Refused.Note = Note;
    m_Delivered.push_back(uIndex);
}

std::size_t Host::StartGet(const std::string& Tag, const std::string& Address, const std::string& Object,
                           const std::string& Label, bool bWantBody)
{
    const std::size_t uIndex = AddJob(Tag, Label, bWantBody);
    if (m_Jobs[uIndex].bDelivered)
        return uIndex;
    const char* pszTag = m_Jobs[uIndex].Tag.c_str();
    // An empty post flag makes the request a GET of Address followed directly by Object.
    const int bStarted =
        bWantBody ? m_pInteraction->Request(pszTag, Address.c_str(), Object.c_str(), "", 0, &OnRequestDone)
                  : m_pInteraction->Send(pszTag, Address.c_str(), Object.c_str(), "", 0, &OnSendDone);
    if (!bStarted)
        Refuse(uIndex, "the library did not start the request");
    return uIndex;
}

std::size_t Host::StartPost(const std::string& Tag, const std::string& Server, const std::string& Path,
                            int nPort, const std::vector<FormField>& Fields, const std::string& Label)
{
    const std::size_t uIndex = AddJob(Tag, Label, true);
    if (m_Jobs[uIndex].bDelivered)
        return uIndex;
    for (const FormField& Field : Fields)
    {
        if (!m_pInteraction->AddParam(Field.Name.c_str(), Field.Value.c_str(), Field.bFile ? 1 : 0))
        {
            // Leave nothing behind for the next request.
            m_pInteraction->ClearParam();
            Refuse(uIndex, "the library refused form field '" + Field.Name + "'");
            return uIndex;
        }
    }
    if (!m_pInteraction->Request(m_Jobs[uIndex].Tag.c_str(), Server.c_str(), Path.c_str(), "POST", nPort,
                                 &OnRequestDone))
    {
        m_pInteraction->ClearParam();
        Refuse(uIndex, "the library did not start the request");
    }
    return uIndex;
}

Job* Host::Deliver(const char* pszTag, int bResult)
{
    if (pszTag == nullptr)
        return nullptr;
    const auto Found = m_TagIndex.find(pszTag);
    if (Found == m_TagIndex.end())
        return nullptr;
    Job& Delivered = m_Jobs[Found->second];
    if (Delivered.bDelivered)
        return nullptr;
    Delivered.bDelivered = true;
    Delivered.bResult = bResult != 0;
    Delivered.dSeconds = SecondsSince(Delivered.Started);
    m_Delivered.push_back(Found->second);
    return &Delivered;
}

void Host::OnRequestDone(const char* pszTag, int bResult, const unsigned char* pbyData, unsigned int uSize)
{
    // The tag and the bytes live only until we return: copy them now.
    Job* pJob = s_pCurrent != nullptr ? s_pCurrent->Deliver(pszTag, bResult) : nullptr;
    if (pJob == nullptr || !bResult || pbyData == nullptr)
        return;
    pJob->uBytes = uSize;
    if (s_pCurrent->m_OnBody)
        s_pCurrent->m_OnBody(*pJob, pbyData, uSize);
    else
        pJob->Body.assign(reinterpret_cast<const char*>(pbyData), uSize);
}

void Host::OnSendDone(const char* pszTag, int bResult)
{
    if (s_pCurrent != nullptr)
        s_pCurrent->Deliver(pszTag, bResult);
}

std::size_t Host::InFlight() const
{
    std::size_t uCount = 0;
    for (const Job& Each : m_Jobs)
        uCount += Each.bDelivered ? 0 : 1;
    return uCount;
}

bool Host::Run(const std::function<void(Job&)>& OnDelivered, const std::function<void()>& OnPass,
               std::chrono::milliseconds MaxWait)
{
    const auto Deadline = std::chrono::steady_clock::now() + MaxWait;
    for (;;)
    {
        while (!m_Delivered.empty())
        {
            const std::size_t uIndex = m_Delivered.front();
            m_Delivered.pop_front();
            if (OnDelivered)
                OnDelivered(m_Jobs[uIndex]);
        }
        if (InFlight() == 0)
            return true;
        if (std::chrono::steady_clock::now() >= Deadline)
            return false;
        if (OnPass)
            OnPass();
        std::this_thread::sleep_for(kPassPause);
        m_pInteraction->Poll(); // at most one callback, on this thread
    }
}
} // namespace tarn
