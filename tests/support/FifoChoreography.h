#pragma once

// Changes a file at an exact moment of a build that opens each file twice: once to size it, once to
// read it. A FIFO's open blocks until a writer comes, so FIFOs around the file pace the build: with
// the list {FIFO 1, file, FIFO 2} the builder opens FIFO 1, sizes the file, opens FIFO 2, then opens
// FIFO 1 again and reads the file. A FIFO part itself has no bytes (size 0). POSIX only (kHavePosix):
// on Windows it is never Ready.
#include <functional>
#include <string>

namespace tarn
{
namespace test
{
class FifoChoreography
{
public:
    // Makes the two FIFOs in Dir.
    explicit FifoChoreography(const std::string& Dir);

    bool Ready() const { return !m_Fifo1.empty() && !m_Fifo2.empty(); }
    const std::string& Fifo1() const { return m_Fifo1; }
    const std::string& Fifo2() const { return m_Fifo2; }

    // Runs Build on this thread while another one runs Change between the sizing pass and the
    // reading pass. Met() tells whether the change came at that moment. A build that fails on the
    // changed file does not reach FIFO 2 again; one that goes on meets it there.
    void Run(const std::function<void()>& Build, const std::function<void()>& Change);

    bool Met() const { return m_bMet; }

private:
    std::string m_Fifo1;
    std::string m_Fifo2;
    bool m_bMet = false;
};
} // namespace test
} // namespace tarn
