// The WinINet layer never holds a whole body: a 64 MiB POST and a 64 MiB GET pass through it
// while the heap it uses on the calling thread stays at a small fixed size.
//
// This program replaces the global operator new and delete (support/ReplacedNew.cpp) to count
// what the calling thread allocates while a transfer runs (the layer works on the calling thread;
// the server's threads are not counted). libcurl allocates with malloc and is not counted: its
// buffers are of fixed size by its design; the layer's window, copies and header lists are what
// these tests watch.
#include "ReplacedNew.h"
#include "WinInetLayerTestUtil.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{
// Each block carries its size and whether it was counted in a header of 16 bytes.
constexpr std::size_t kHeader = 16;
thread_local bool t_bCounting = false;
std::atomic<long long> g_llLive{0};
std::atomic<long long> g_llPeak{0};
std::atomic<long long> g_llLargest{0};

void* CountedAlloc(std::size_t uSize) noexcept
{
    unsigned char* pBlock = static_cast<unsigned char*>(std::malloc(uSize + kHeader));
    if (pBlock == nullptr)
        return nullptr;
    const bool bCounted = t_bCounting;
    std::memcpy(pBlock, &uSize, sizeof(uSize));
    pBlock[sizeof(uSize)] = bCounted ? 1 : 0;
    if (bCounted)
    {
        const long long llSize = static_cast<long long>(uSize);
        const long long llLive = g_llLive += llSize;
        long long llPeak = g_llPeak.load();
        while (llLive > llPeak && !g_llPeak.compare_exchange_weak(llPeak, llLive))
        {
        }
        long long llLargest = g_llLargest.load();
        while (llSize > llLargest && !g_llLargest.compare_exchange_weak(llLargest, llSize))
        {
        }
    }
    return pBlock + kHeader;
}

void CountedFree(void* p) noexcept
{
    if (p == nullptr)
        return;
    unsigned char* pBlock = static_cast<unsigned char*>(p) - kHeader;
    if (pBlock[sizeof(std::size_t)] != 0)
    {
        std::size_t uSize;
        std::memcpy(&uSize, pBlock, sizeof(uSize));
        g_llLive -= static_cast<long long>(uSize);
    }
    std::free(pBlock);
}

// Counts the calling thread's allocations from construction to destruction.
class HeapWatch
{
public:
    HeapWatch()
    {
        g_llLive = 0;
        g_llPeak = 0;
        g_llLargest = 0;
        t_bCounting = true;
    }
    ~HeapWatch() { t_bCounting = false; }
    long long Peak() const { return g_llPeak.load(); }
    long long Largest() const { return g_llLargest.load(); }
};
} // namespace

void* ReplacedNewAllocate(std::size_t uSize, const void*) noexcept
{
    return CountedAlloc(uSize);
}

void ReplacedNewFree(void* p) noexcept
{
    CountedFree(p);
}

namespace wininet_test
{
namespace
{
constexpr std::uint64_t kBodyBytes = 64u << 20;
// The receive window is one libcurl write (16 KiB); headers, URLs and lists add a few KiB.
constexpr long long kLayerLimit = 256 * 1024;

class WinInetMemoryTest : public WinInetTest
{
};

TEST_F(WinInetMemoryTest, LargePostIsNeverCopiedWhole)
{
    m_Server.SetKeepBodies(false);
    const std::string Body = tarn::PatternBytes(kBodyBytes);
    Handle Session = OpenSession();
    PostOutcome Outcome;
    long long llPeak = 0;
    long long llLargest = 0;
    {
        HeapWatch Watch;
        Outcome = PostLikeTheLibrary(Session.get(), "127.0.0.1", static_cast<INTERNET_PORT>(m_Server.Port()),
                                     "/big", Body, false);
        llPeak = Watch.Peak();
        llLargest = Watch.Largest();
    }
    ASSERT_EQ(Outcome.FailedAt, "") << Outcome.dwError;
    const CapturedRequest Got = m_Server.Requests().at(0);
    EXPECT_EQ(Got.uBodySize, kBodyBytes);
    EXPECT_EQ(Got.uBodyHash, tarn::Fnv1a64(Body.data(), Body.size()));
    EXPECT_LT(llPeak, kLayerLimit) << "largest block " << llLargest;
    RecordProperty("PeakLayerHeapBytes", std::to_string(llPeak));
}

TEST_F(WinInetMemoryTest, LargeGetIsNeverHeldWhole)
{
    m_Server.Enqueue(ScriptedReply::Pattern(kBodyBytes));
    Handle Session = OpenSession();
    ReadOutcome Outcome;
    long long llPeak = 0;
    {
        HeapWatch Watch;
        Handle Request = OpenUrl(Session.get(), m_Server.Url("/big"));
        ASSERT_TRUE(Request) << GetLastError();
        // Reads of 8191 bytes into one buffer, as the library does, hashing instead of keeping.
        Outcome = ReadAll(Request.get(), 8191, false);
        Request.reset();
        llPeak = Watch.Peak();
    }
    ASSERT_TRUE(Outcome.bOk) << Outcome.dwError;
    EXPECT_EQ(Outcome.uSize, kBodyBytes);
    std::uint64_t uHash = tarn::kFnvOffset;
    for (std::uint64_t uPos = 0; uPos < kBodyBytes; uPos += 1u << 20)
    {
        const std::string Piece = tarn::PatternBytes(1u << 20, uPos);
        uHash = tarn::Fnv1a64(Piece.data(), Piece.size(), uHash);
    }
    EXPECT_EQ(Outcome.uHash, uHash);
    EXPECT_LT(llPeak, kLayerLimit);
    RecordProperty("PeakLayerHeapBytes", std::to_string(llPeak));
}
} // namespace
} // namespace wininet_test
