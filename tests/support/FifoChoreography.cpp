#include "FifoChoreography.h"

#include "Posix.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#endif

namespace tarn
{
namespace test
{
#if defined(_WIN32)
FifoChoreography::FifoChoreography(const std::string&) {}

void FifoChoreography::Run(const std::function<void()>& Build, const std::function<void()>&)
{
    Build();
}
#else
namespace
{
// Waits until the builder has the FIFO open for reading, then opens and closes the write end.
// Gives up once the build is over.
bool Meet(const std::string& Fifo, const std::atomic<bool>& bBuilt)
{
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!bBuilt && std::chrono::steady_clock::now() < Deadline)
    {
        const int nFd = ::open(Fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (nFd >= 0)
        {
            ::close(nFd);
            return true;
        }
        if (errno != ENXIO)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}
} // namespace

FifoChoreography::FifoChoreography(const std::string& Dir)
    : m_Fifo1(MakeFifo(Dir + "/sync1")), m_Fifo2(MakeFifo(Dir + "/sync2"))
{
}

void FifoChoreography::Run(const std::function<void()>& Build, const std::function<void()>& Change)
{
    std::atomic<bool> bBuilt(false);
    std::thread Script(
        [&]
        {
            m_bMet = Meet(m_Fifo1, bBuilt) && Meet(m_Fifo2, bBuilt);
            if (m_bMet)
            {
                Change();
                m_bMet = Meet(m_Fifo1, bBuilt);
                Meet(m_Fifo2, bBuilt);
            }
            // Whatever happened, let no open of the builder wait for a writer any longer.
            const int nFd1 = ::open(m_Fifo1.c_str(), O_RDWR | O_NONBLOCK);
            const int nFd2 = ::open(m_Fifo2.c_str(), O_RDWR | O_NONBLOCK);
            while (!bBuilt)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ::close(nFd1);
            ::close(nFd2);
        });
    Build();
    bBuilt = true;
    Script.join();
}
#endif
} // namespace test
} // namespace tarn
