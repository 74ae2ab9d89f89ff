#pragma once

#include "EngineCore/NThread.h"
#include "NW_HttpClient.h"
#include "TarnInteraction/ITarnInteraction.h"

#include <atomic>
#include <vector>

// Either callback type, stored in one field and called as the type the job's flag names.
typedef void (*NWCallback)();

class NTarnInteraction : public ITarnInteraction
{
public:
    // One request from preparation to delivery: pending while its parameters are collected,
    // then dispatched to its own worker thread, then finished, then delivered by Poll.
    class NTreadHttpClient
    {
    public:
        NTreadHttpClient();
        virtual ~NTreadHttpClient();

        NTreadHttpClient(const NTreadHttpClient&) = delete;
        NTreadHttpClient& operator=(const NTreadHttpClient&) = delete;

        char m_szTag[256];
        char m_szAddress[512];
        char m_szObjectName[256];
        char m_szPostFlag[256];
        int m_nPort;
        NThread m_Thread;
        NW_HttpClient m_HttpClient;
        int m_bNeedResponse;
        int m_bResult;
        // The worker's hand-off: stored last with release ordering, read first with acquire.
        std::atomic<int> m_bFinished;
        // The interaction's count of finished jobs, raised by the worker just before m_bFinished.
        std::atomic<int>* m_pnFinishedJobs;
        // Dispatched by the parent of this forked process: its worker runs there, which alone
        // delivers it; here it is never delivered, only destroyed with the interaction.
        int m_bInherited;
        NWCallback m_pfnCallback; // a SendCallback or a RequestCallback, as m_bNeedResponse says
        unsigned char* m_pbyResponse;
        DWORD m_dwResponseSize;
    };

    NTarnInteraction();
    virtual ~NTarnInteraction();

    NTarnInteraction(const NTarnInteraction&) = delete;
    NTarnInteraction& operator=(const NTarnInteraction&) = delete;

    int Reset() override;
    int Release() override;
    void Poll() override;
    int ClearParam() override;
    int AddParam(const char* cszParamName, const char* cszParamValue, int bBinaryFile) override;
    int GetParamCount() override;
    int GetParam(int nIndex, char** ppszRetParamName, char** ppRetParamValue) override;
    int Send(const char* cszTag, const char* cszAddress, const char* cszObjectName, const char* cszPostFlag,
             int nPort, SendCallback pfnCallback) override;
    int Request(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                const char* cszPostFlag, int nPort, RequestCallback pfnCallback) override;

    // Holders counted so far (for diagnostics and tests).
    int GetRefCount() const { return m_nRefCount; }
    void AddRef() { ++m_nRefCount; }

    // Number of dispatched jobs not yet delivered, and how many of them have finished.
    int GetRunningCount() const { return static_cast<int>(m_RunningList.size()); }
    int GetFinishedCount() const;

private:
    // In a child made by fork since the last call, marks every dispatched job as the parent's.
    void SetAsideInheritedJobs();
    // Moves the pending job to the end of the running list with the request's texts and starts
    // its worker. On failure the pending job is untouched, or, when the worker could not be
    // started, destroyed.
    int DispatchPendingJob(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                           const char* cszPostFlag, int nPort, NWCallback pfnCallback, int bNeedResponse);

    NTreadHttpClient* m_pTreadHttpClient;
    std::vector<NTreadHttpClient*> m_RunningList;
    // Jobs whose workers have finished and that Poll has not delivered: while it is 0, Poll need
    // not look at every job of a long list.
    std::atomic<int> m_nFinishedJobs;
    unsigned m_uForkGeneration; // NThreadForkGeneration() when the jobs were last looked at
    int m_nRefCount;
};

// The process's one interaction object; null while there is none.
extern NTarnInteraction* g_pInteraction;

// The worker entry of a dispatched job.
void HttpThreadFunction(void* pvTreadHttpClient);
