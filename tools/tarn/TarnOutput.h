#pragma once

// Where delivered bodies go: each to its own file, or to standard output in the order of their
// URLs (as curl writes them), whatever order they arrive in. On a terminal, a body that does not
// end its last line gets a line end, so that the next body or result line starts on a line of its own. Bodies are written straight from the
// bytes the library hands over; one that arrives before those ahead of it on standard output
// waits in an unnamed temporary file, not in memory.
#include "TarnOptions.h"

#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tarn
{
class BodyOutput
{
public:
    explicit BodyOutput(std::vector<OutputTarget> Targets);
    ~BodyOutput();

    BodyOutput(const BodyOutput&) = delete;
    BodyOutput& operator=(const BodyOutput&) = delete;

    // Writes the body of job uIndex. Returns false with a reason when it could not be written;
    // the job is then to be skipped like one that failed.
    bool Write(std::size_t uIndex, const unsigned char* pbyData, std::size_t uSize, std::string& Error);

    // Job uIndex has no body to write (it failed): bodies after it need not wait for it. Once a
    // job's body went out or was kept, skipping it changes nothing.
    void Skip(std::size_t uIndex);

    // " -> path" for a job saved to a file, "" otherwise.
    std::string Suffix(std::size_t uIndex) const;

    bool AnyToStandardOutput() const { return !m_StdoutOrder.empty(); }

private:
    bool WriteToStandardOutput(std::size_t uIndex, const unsigned char* pbyData, std::size_t uSize,
                               std::string& Error);
    void Drain();

    std::vector<OutputTarget> m_Targets;
    std::vector<bool> m_Settled;            // written, kept for its turn, or skipped
    std::vector<std::size_t> m_StdoutOrder; // the jobs whose bodies go to standard output, in order
    std::size_t m_uNext = 0;                // the first of them not yet written or skipped
    struct Waiting
    {
        std::FILE* pSpool = nullptr; // rewound; null for a job skipped
        bool bEndLine = false;
    };
    std::map<std::size_t, Waiting> m_Waiting; // arrived before their turn
    bool m_bTerminal;
    bool m_bHinted = false;
};

// Creates Dir when it is missing. False, with the reason on standard error, when it cannot be used.
bool PrepareOutputDir(const std::string& Dir);
} // namespace tarn
