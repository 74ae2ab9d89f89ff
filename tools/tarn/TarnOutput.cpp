#include "TarnOutput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn
{
namespace
{
bool WriteAll(int nFile, const unsigned char* pbyData, std::size_t uSize)
{
    std::size_t uDone = 0;
    while (uDone < uSize)
    {
        const ssize_t nWritten = write(nFile, pbyData + uDone, uSize - uDone);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        uDone += static_cast<std::size_t>(nWritten);
    }
    return true;
}

bool WriteFile(const OutputTarget& Target, const unsigned char* pbyData, std::size_t uSize,
               std::string& Error)
{
    // A name taken from the URL does not follow a link already in its place.
    const int nFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (Target.bRemoteName ? O_NOFOLLOW : 0);
    const int nFile = open(Target.Path.c_str(), nFlags, 0644);
    bool bOk = nFile >= 0 && WriteAll(nFile, pbyData, uSize);
    if (nFile >= 0)
        bOk = close(nFile) == 0 && bOk;
    if (!bOk)
        Error = "cannot write " + Target.Path + ": " + std::strerror(errno);
    return bOk;
}

bool CopyToStandardOutput(std::FILE* pSpool)
{
    char byBlock[65536];
    std::size_t uRead = 0;
    while ((uRead = std::fread(byBlock, 1, sizeof(byBlock), pSpool)) > 0)
        if (std::fwrite(byBlock, 1, uRead, stdout) != uRead)
            return false;
    return std::ferror(pSpool) == 0;
}
} // namespace

BodyOutput::BodyOutput(std::vector<OutputTarget> Targets)
    : m_Targets(std::move(Targets)), m_Settled(m_Targets.size(), false),
      m_bTerminal(isatty(STDOUT_FILENO) != 0)
{
    for (std::size_t i = 0; i < m_Targets.size(); ++i)
        if (m_Targets[i].Path.empty())
            m_StdoutOrder.push_back(i);
}

BodyOutput::~BodyOutput()
{
    for (auto& Each : m_Waiting)
        if (Each.second.pSpool != nullptr)
            std::fclose(Each.second.pSpool);
}

bool BodyOutput::Write(std::size_t uIndex, const unsigned char* pbyData, std::size_t uSize,
                       std::string& Error)
{
    if (!m_Targets[uIndex].Path.empty())
        return WriteFile(m_Targets[uIndex], pbyData, uSize, Error);
    return WriteToStandardOutput(uIndex, pbyData, uSize, Error);
}

bool BodyOutput::WriteToStandardOutput(std::size_t uIndex, const unsigned char* pbyData, std::size_t uSize,
                                       std::string& Error)
{
    // As curl: a NUL byte marks a body that would garble the terminal.
    if (m_bTerminal && !m_Targets[uIndex].bForced && std::memchr(pbyData, 0, uSize) != nullptr)
    {
        if (!m_bHinted)
            std::fputs("tarn: binary output can mess up your terminal. Use \"-o -\" to send it there "
                       "anyway, or \"-o FILE\" to save it to a file.\n",
                       stderr);
        m_bHinted = true;
        Error = "binary body not written to the terminal";
        return false;
    }
    const bool bEndLine = m_bTerminal && uSize > 0 && pbyData[uSize - 1] != '\n';
    if (m_uNext < m_StdoutOrder.size() && m_StdoutOrder[m_uNext] == uIndex)
    {
        m_Settled[uIndex] = true;
        const bool bOk = std::fwrite(pbyData, 1, uSize, stdout) == uSize &&
                         (!bEndLine || std::fputc('\n', stdout) != EOF) && std::fflush(stdout) == 0;
        ++m_uNext;
        Drain();
        if (!bOk)
            Error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return bOk;
    }
    std::FILE* pSpool = std::tmpfile();
    if (pSpool == nullptr || std::fwrite(pbyData, 1, uSize, pSpool) != uSize || std::fflush(pSpool) != 0)
    {
        Error = std::string("cannot keep the body until its turn: ") + std::strerror(errno);
        if (pSpool != nullptr)
            std::fclose(pSpool);
        return false;
    }
    std::rewind(pSpool);
    m_Waiting[uIndex] = Waiting{pSpool, bEndLine};
    m_Settled[uIndex] = true;
    return true;
}

void BodyOutput::Skip(std::size_t uIndex)
{
    if (!m_Targets[uIndex].Path.empty() || m_Settled[uIndex])
        return;
    m_Settled[uIndex] = true;
    if (m_uNext < m_StdoutOrder.size() && m_StdoutOrder[m_uNext] == uIndex)
    {
        ++m_uNext;
        Drain();
    }
    else
        m_Waiting.emplace(uIndex, Waiting());
}

void BodyOutput::Drain()
{
    while (m_uNext < m_StdoutOrder.size())
    {
        const auto Found = m_Waiting.find(m_StdoutOrder[m_uNext]);
        if (Found == m_Waiting.end())
            return;
        if (Found->second.pSpool != nullptr)
        {
            // Its result line is out already; a failed copy is reported here.
            if (!CopyToStandardOutput(Found->second.pSpool))
                std::fprintf(stderr, "tarn: cannot write to standard output: %s\n", std::strerror(errno));
            if (Found->second.bEndLine)
                std::fputc('\n', stdout);
            std::fclose(Found->second.pSpool);
        }
        m_Waiting.erase(Found);
        ++m_uNext;
    }
    std::fflush(stdout);
}

std::string BodyOutput::Suffix(std::size_t uIndex) const
{
    return m_Targets[uIndex].Path.empty() ? std::string() : " -> " + m_Targets[uIndex].Path;
}

bool PrepareOutputDir(const std::string& Dir)
{
    struct stat Info;
    if (stat(Dir.c_str(), &Info) == 0)
    {
        if (S_ISDIR(Info.st_mode))
            return true;
        std::fprintf(stderr, "tarn: %s exists and is not a directory\n", Dir.c_str());
        return false;
    }
    if (mkdir(Dir.c_str(), 0755) != 0)
    {
        std::fprintf(stderr, "tarn: cannot create directory %s: %s\n", Dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}
} // namespace tarn
