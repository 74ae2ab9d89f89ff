// NTarnInteraction: the shared object's life, the job record and the parameter operations.
#include "NTarnInteraction.h"

#include "NW_Log.h"

#include <new>

NTarnInteraction* g_pInteraction = nullptr;

NTarnInteraction::NTreadHttpClient::NTreadHttpClient()
    : m_szTag(), m_szAddress(), m_szObjectName(), m_szPostFlag(), m_nPort(0), m_bNeedResponse(0),
      m_bResult(0), m_bFinished(0), m_pnFinishedJobs(nullptr), m_bInherited(0), m_pfnCallback(nullptr),
      m_pbyResponse(nullptr), m_dwResponseSize(0)
{
}

NTarnInteraction::NTreadHttpClient::~NTreadHttpClient()
{
    // The worker uses the client until it ends, so wait for it before any member goes.
    m_Thread.Destroy();
}

NTarnInteraction::NTarnInteraction()
    : m_pTreadHttpClient(nullptr), m_nFinishedJobs(0), m_uForkGeneration(NThreadForkGeneration()),
      m_nRefCount(1)
{
}

NTarnInteraction::~NTarnInteraction()
{
    if (m_pTreadHttpClient != nullptr)
    {
        delete m_pTreadHttpClient;
        m_pTreadHttpClient = nullptr;
    }
    for (NTreadHttpClient*& pJob : m_RunningList)
    {
        delete pJob; // waits for the job's worker; no callback is delivered
        pJob = nullptr;
    }
    m_RunningList.clear();
    m_RunningList.shrink_to_fit();
}

int NTarnInteraction::Reset()
{
    ClearParam();
    return 1;
}

int NTarnInteraction::Release()
{
    const int nRefCount = --m_nRefCount;
    if (nRefCount > 0)
        return nRefCount;

    g_pInteraction = nullptr;
    delete this;
    return 0;
}

int NTarnInteraction::ClearParam()
{
    if (m_pTreadHttpClient == nullptr)
        return 0;
    return m_pTreadHttpClient->m_HttpClient.ClearPostParam();
}

int NTarnInteraction::AddParam(const char* cszParamName, const char* cszParamValue, int bBinaryFile)
{
    int nResult = 0;
    int nRetCode = 0;

    if (m_pTreadHttpClient == nullptr)
        m_pTreadHttpClient = new (std::nothrow) NTreadHttpClient;
    NWLOG_PROCESS_ERROR(m_pTreadHttpClient);

    nRetCode = m_pTreadHttpClient->m_HttpClient.AddPostParam(bBinaryFile ? eBinaryFile : eNormal,
                                                             cszParamName, cszParamValue);
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    return nResult;
}

int NTarnInteraction::GetParamCount()
{
    if (m_pTreadHttpClient == nullptr)
        return 0;
    return m_pTreadHttpClient->m_HttpClient.GetPostParamCount();
}

int NTarnInteraction::GetParam(int nIndex, char** ppszRetParamName, char** ppRetParamValue)
{
    int nResult = 0;
    int nRetCode = 0;

    NWLOG_PROCESS_ERROR(ppszRetParamName);
    NWLOG_PROCESS_ERROR(ppRetParamValue);
    NWLOG_PROCESS_ERROR(m_pTreadHttpClient);

    nRetCode = m_pTreadHttpClient->m_HttpClient.GetPostParam(nIndex, ppszRetParamName, ppRetParamValue);
    NWLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    return nResult;
}
