#include "TarnStdin.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace tarn
{
namespace
{
std::string Reason(const std::string& What)
{
    return What + ": " + std::strerror(errno);
}

// Copies standard input into a new file at Path.
bool CopyStandardInput(const std::string& Path, std::string& Error)
{
    const int nFile = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (nFile < 0)
    {
        Error = Reason("cannot create " + Path);
        return false;
    }
    char byBlock[65536];
    bool bOk = true;
    for (;;)
    {
        const ssize_t nRead = read(STDIN_FILENO, byBlock, sizeof(byBlock));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead <= 0)
        {
            if (nRead < 0)
                Error = Reason("cannot read standard input");
            bOk = nRead == 0;
            break;
        }
        for (ssize_t nDone = 0; bOk && nDone < nRead;)
        {
            const ssize_t nWritten = write(nFile, byBlock + nDone, static_cast<std::size_t>(nRead - nDone));
            if (nWritten < 0 && errno == EINTR)
                continue;
            if (nWritten <= 0)
            {
                Error = Reason("cannot keep standard input in " + Path);
                bOk = false;
            }
            nDone += nWritten > 0 ? nWritten : 0;
        }
        if (!bOk)
            break;
    }
    if (close(nFile) != 0 && bOk)
    {
        Error = Reason("cannot keep standard input in " + Path);
        bOk = false;
    }
    return bOk;
}
} // namespace

std::string FirstComponent(const std::string& Path)
{
    if (Path.empty() || Path[0] == '/')
        return std::string();
    std::size_t uStart = 0;
    while (Path.compare(uStart, 2, "./") == 0)
    {
        uStart += 2;
        while (uStart < Path.size() && Path[uStart] == '/')
            ++uStart;
    }
    return Path.substr(uStart, Path.find('/', uStart) - uStart);
}

bool StdinFolder::Enter(const std::vector<FormField>& Fields, std::string& Error)
{
    char szHome[PATH_MAX];
    if (getcwd(szHome, sizeof(szHome)) == nullptr)
    {
        Error = Reason("cannot tell the working directory");
        return false;
    }
    const char* pszTemp = std::getenv("TMPDIR");
    std::string Template =
        std::string(pszTemp != nullptr && *pszTemp != '\0' ? pszTemp : "/tmp") + "/tarn-stdin.XXXXXX";
    if (mkdtemp(&Template[0]) == nullptr)
    {
        Error = Reason("cannot create a folder for standard input");
        return false;
    }
    m_Dir = Template;
    m_Entries.push_back("-");
    if (!CopyStandardInput(m_Dir + "/-", Error))
        return false;
    std::set<std::string> Linked;
    for (const FormField& Field : Fields)
    {
        const std::string First =
            Field.bFile && !ReadsStandardInput(Field) ? FirstComponent(Field.Value) : "";
        if (First.empty() || !Linked.insert(First).second)
            continue;
        const std::string Target = std::string(szHome) + "/" + First;
        if (symlink(Target.c_str(), (m_Dir + "/" + First).c_str()) != 0)
        {
            Error = Reason("cannot link " + Target + " beside standard input");
            return false;
        }
        m_Entries.push_back(First);
    }
    m_nHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_nHome < 0 || chdir(m_Dir.c_str()) != 0)
    {
        Error = Reason("cannot enter " + m_Dir);
        return false;
    }
    return true;
}

StdinFolder::~StdinFolder()
{
    if (m_nHome >= 0)
    {
        if (fchdir(m_nHome) != 0)
        {
            // Nothing tarn does after the request depends on the working directory.
        }
        close(m_nHome);
    }
    if (m_Dir.empty())
        return;
    for (const std::string& Entry : m_Entries)
        unlink((m_Dir + "/" + Entry).c_str());
    rmdir(m_Dir.c_str());
}
} // namespace tarn
