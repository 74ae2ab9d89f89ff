#pragma once

// The host side of TarnInteraction, as an engine would run it: one interaction object, requests
// started from this thread, and a loop that calls Poll once per pass and copies each delivered
// result inside the callback.
#include "TarnOptions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class ITarnInteraction;

namespace tarn
{
struct Job
{
    std::string Tag;
    std::string Label;     // what the job asks for, for people
    bool bWantBody = true; // started with Request (true) or Send (false)
    bool bDelivered = false;
    bool bResult = false;
    std::string Body;         // copied inside the callback, unless the host has a BodyHandler
    std::uint64_t uBytes = 0; // the length of the delivered body
    std::string Note;         // why a job failed before it reached the library's worker
    double dSeconds = 0.0;    // from the start to the delivery
    std::chrono::steady_clock::time_point Started;
};

// Takes a delivered body inside the library's callback, where the bytes live until it returns,
// so that a host need not copy them. May fail the job (bResult false, with a Note).
using BodyHandler = std::function<void(Job&, const unsigned char* pbyData, std::size_t uSize)>;

class Host
{
public:
    // Creates (or joins) the interaction object. One Host at a time per process.
    Host();
    // Releases the object; requests still running are waited for, their callbacks not called.
    ~Host();

    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool IsReady() const { return m_pInteraction != nullptr; }

    // Without a handler, bodies are copied into Job::Body.
    void SetBodyHandler(BodyHandler Handler) { m_OnBody = std::move(Handler); }

    // Start a GET of Address followed by Object (with Request, or with Send when bWantBody is
    // false), or a multipart POST of Fields. Tags must be unique. Return the job's index; a job
    // the library refuses is delivered as a failure on the next pass of Run.
    std::size_t StartGet(const std::string& Tag, const std::string& Address, const std::string& Object,
                         const std::string& Label, bool bWantBody = true);
    std::size_t StartPost(const std::string& Tag, const std::string& Server, const std::string& Path,
                          int nPort, const std::vector<FormField>& Fields, const std::string& Label);

    // Passes of the loop until every job is delivered or MaxWait has passed: Poll once, hand a
    // delivered job to OnDelivered, call OnPass, sleep briefly. Returns true when all were delivered.
    bool Run(const std::function<void(Job&)>& OnDelivered, const std::function<void()>& OnPass,
             std::chrono::milliseconds MaxWait = std::chrono::hours(24));

    const std::vector<Job>& Jobs() const { return m_Jobs; }
    std::size_t InFlight() const;

private:
    static void OnRequestDone(const char* pszTag, int bResult, const unsigned char* pbyData,
                              unsigned int uSize);
    static void OnSendDone(const char* pszTag, int bResult);
    Job* Deliver(const char* pszTag, int bResult);
    std::size_t AddJob(const std::string& Tag, const std::string& Label, bool bWantBody);
    void Refuse(std::size_t uIndex, const std::string& Note);

    ITarnInteraction* m_pInteraction;
    std::vector<Job> m_Jobs;
    std::map<std::string, std::size_t> m_TagIndex;
    std::deque<std::size_t> m_Delivered; // delivered, not yet handed to OnDelivered
    BodyHandler m_OnBody;

    static Host* s_pCurrent; // the callbacks carry no user pointer; they find the host here
};
} // namespace tarn
