// Dispatch of prepared requests, the worker, and the hand-back of finished jobs.
#include "NTarnInteraction.h"

#include "NW_Log.h"

#include <cstring>
#include <new>

namespace
{
// Copies at most uSize - 1 characters, fills the rest with NUL bytes and always terminates.
void CopyTextField(char* pszDest, size_t uSize, const char* cszSource)
{
    size_t uLen = 0;
    while (uLen + 1 < uSize && cszSource[uLen] != '\0')
        ++uLen;
    std::memcpy(pszDest, cszSource, uLen);
    std::memset(pszDest + uLen, 0, uSize - uLen);
}
} // namespace

void HttpThreadFunction(void* pvTreadHttpClient)
{
    NTarnInteraction::NTreadHttpClient* pJob =
        static_cast<NTarnInteraction::NTreadHttpClient*>(pvTreadHttpClient);
    int nRetCode = 0;

    // Worker threads are reused: the previous job's last error must not show through.
    SetLastError(ERROR_SUCCESS);

    if (pJob->m_szPostFlag[0] != '\0')
        nRetCode = pJob->m_HttpClient.RequestPost(pJob->m_szAddress, pJob->m_szObjectName, pJob->m_nPort);
    else
        nRetCode = pJob->m_HttpClient.RequestGet(pJob->m_szAddress, pJob->m_szObjectName);

    if (nRetCode && pJob->m_bNeedResponse == 1)
        nRetCode = pJob->m_HttpClient.GetResponse(&pJob->m_pbyResponse, &pJob->m_dwResponseSize);

    pJob->m_bResult = nRetCode ? 1 : 0;
    // Counted before the flag is set, so that the count never falls below the jobs Poll can see
    // finished; the interaction outlives this call, as its destruction waits for every worker.
    if (pJob->m_pnFinishedJobs != nullptr)
        pJob->m_pnFinishedJobs->fetch_add(1, std::memory_order_relaxed);
    // Last access to the job: after this store the host may deliver and destroy it.
    pJob->m_bFinished.store(1, std::memory_order_release);
}

// A child made by fork has none of its parent's workers: the jobs it inherited never finish here,
// and those that had finished are the parent's to deliver. The count of finished jobs then counts
// none: this runs before any job of the child's is dispatched, so no worker of this process
// raises it meanwhile.
void NTarnInteraction::SetAsideInheritedJobs()
{
    const unsigned uForkGeneration = NThreadForkGeneration();

    if (uForkGeneration != m_uForkGeneration)
    {
        m_uForkGeneration = uForkGeneration;
        for (NTreadHttpClient* pJob : m_RunningList)
            pJob->m_bInherited = 1;
        m_nFinishedJobs.store(0, std::memory_order_relaxed);
    }
}

int NTarnInteraction::DispatchPendingJob(const char* cszTag, const char* cszAddress,
                                         const char* cszObjectName, const char* cszPostFlag, int nPort,
                                         NWCallback pfnCallback, int bNeedResponse)
{
    int nResult = 0;
    int bRoomReserved = 0;
    int bWorkerStarted = 0;
    NTreadHttpClient* pJob = nullptr;

    SetAsideInheritedJobs();

    // Make room first, so that nothing can fail between taking the job and listing it. The room
    // doubles when it runs out, so a burst of jobs copies the list a logarithmic number of times.
    try
    {
        if (m_RunningList.size() == m_RunningList.capacity())
            m_RunningList.reserve(m_RunningList.size() * 2 + 8);
        bRoomReserved = 1;
    }
    catch (const std::exception&)
    {
    }
    NWLOG_PROCESS_ERROR(bRoomReserved);

    pJob = m_pTreadHttpClient;
    m_pTreadHttpClient = nullptr;

    CopyTextField(pJob->m_szTag, sizeof(pJob->m_szTag), cszTag);
    CopyTextField(pJob->m_szAddress, sizeof(pJob->m_szAddress), cszAddress);
    CopyTextField(pJob->m_szObjectName, sizeof(pJob->m_szObjectName), cszObjectName);
    CopyTextField(pJob->m_szPostFlag, sizeof(pJob->m_szPostFlag), cszPostFlag);
    pJob->m_nPort = nPort;
    pJob->m_pfnCallback = pfnCallback;
    pJob->m_bNeedResponse = bNeedResponse;
    pJob->m_pnFinishedJobs = &m_nFinishedJobs;
    m_RunningList.push_back(pJob);

    bWorkerStarted = pJob->m_Thread.Create(HttpThreadFunction, pJob);
    if (!bWorkerStarted)
    {
        // No callback would ever come for this job: take it back out and say so.
        m_RunningList.pop_back();
        delete pJob;
    }
    NWLOG_PROCESS_ERROR(bWorkerStarted);

    nResult = 1;
Exit0:
    return nResult;
}

int NTarnInteraction::Send(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                           const char* cszPostFlag, int nPort, SendCallback pfnCallback)
{
    int nResult = 0;
    int nRetCode = 0;

    NWLOG_PROCESS_ERROR(cszTag);
    NWLOG_PROCESS_ERROR(cszAddress);
    NWLOG_PROCESS_ERROR(cszObjectName);
    NWLOG_PROCESS_ERROR(cszPostFlag);

    if (m_pTreadHttpClient == nullptr)
        m_pTreadHttpClient = new (std::nothrow) NTreadHttpClient;
    NWLOG_PROCESS_ERROR(m_pTreadHttpClient);

    nRetCode = DispatchPendingJob(cszTag, cszAddress, cszObjectName, cszPostFlag, nPort,
                                  reinterpret_cast<NWCallback>(pfnCallback), 0);
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    return nResult;
}

int NTarnInteraction::Request(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                              const char* cszPostFlag, int nPort, RequestCallback pfnCallback)
{
    int nResult = 0;
    int nRetCode = 0;

    NWLOG_PROCESS_ERROR(cszTag);
    NWLOG_PROCESS_ERROR(cszAddress);
    NWLOG_PROCESS_ERROR(cszObjectName);
    NWLOG_PROCESS_ERROR(cszPostFlag);

    if (m_pTreadHttpClient == nullptr)
        m_pTreadHttpClient = new (std::nothrow) NTreadHttpClient;
    NWLOG_PROCESS_ERROR(m_pTreadHttpClient);

    nRetCode = DispatchPendingJob(cszTag, cszAddress, cszObjectName, cszPostFlag, nPort,
                                  reinterpret_cast<NWCallback>(pfnCallback), 1);
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    return nResult;
}

int NTarnInteraction::GetFinishedCount() const
{
    int nFinished = 0;
    for (const NTreadHttpClient* pJob : m_RunningList)
        nFinished += !pJob->m_bInherited && pJob->m_bFinished.load(std::memory_order_acquire) != 0;
    return nFinished;
}

void NTarnInteraction::Poll()
{
    NTreadHttpClient* pJob = nullptr;

    SetAsideInheritedJobs();
    if (m_nFinishedJobs.load(std::memory_order_relaxed) == 0)
        return;
    for (size_t i = 0; i < m_RunningList.size(); ++i)
    {
        if (!m_RunningList[i]->m_bInherited &&
            m_RunningList[i]->m_bFinished.load(std::memory_order_acquire) != 0)
        {
            pJob = m_RunningList[i];
            m_RunningList.erase(m_RunningList.begin() + static_cast<std::ptrdiff_t>(i));
            m_nFinishedJobs.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
    }
    if (pJob == nullptr)
        return;

    // The job is out of the list, so the callback may call anything, Release included; after it
    // only the job is touched. Destroying the job waits for its worker, which has already done its
    // last access, so the callback need not wait for that.
    if (pJob->m_pfnCallback != nullptr)
    {
        if (pJob->m_bNeedResponse == 1)
            reinterpret_cast<RequestCallback>(pJob->m_pfnCallback)(
                pJob->m_szTag, pJob->m_bResult, pJob->m_pbyResponse, pJob->m_dwResponseSize);
        else
            reinterpret_cast<SendCallback>(pJob->m_pfnCallback)(pJob->m_szTag, pJob->m_bResult);
    }
    delete pJob;
}
