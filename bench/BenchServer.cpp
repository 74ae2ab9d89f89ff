#include "BenchServer.h"

#include "BenchSupport.h"
#include "TarnServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <csignal>
#include <string>
#include <thread>
#include <vector>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int StartServerProcess(pid_t* pPid, bool bKeepAlive)
{
    int rgnPipe[2];
    if (pipe(rgnPipe) != 0)
        return 0;
    const pid_t Pid = fork();
    if (Pid == 0)
    {
        prctl(PR_SET_NAME, "bench-server"); // its threads apart from the host's in a profile
        close(rgnPipe[0]);
        tarn::TarnServer Server;
        if (bKeepAlive)
            Server.EnableKeepAlive();
        const int nPort = Server.Start();
        if (write(rgnPipe[1], &nPort, sizeof(nPort)) != sizeof(nPort))
            _exit(1);
        close(rgnPipe[1]);
        while (true)
            pause();
    }
    close(rgnPipe[1]);
    int nPort = 0;
    if (read(rgnPipe[0], &nPort, sizeof(nPort)) != sizeof(nPort))
        nPort = 0;
    close(rgnPipe[0]);
    *pPid = Pid;
    return nPort;
}

void StopServerProcess(pid_t Pid)
{
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
}

namespace
{
bool SendAll(int nFd, const std::string& Text)
{
    return send(nFd, Text.data(), Text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(Text.size());
}

// Serves one connection until the client closes it or sends something this sink does not know.
void ServeSink(int nFd)
{
    std::vector<char> Buffer(1 << 20);
    std::string Pending;
    while (true)
    {
        std::string Head;
        if (!ReadRequestHead([nFd](char* pTo, size_t uMax)
                             { return static_cast<long>(recv(nFd, pTo, uMax, 0)); },
                             Buffer, Pending, Head))
            return;
        if (HeaderValue(Head, "Transfer-Encoding").size() != 0)
            return;
        unsigned long long ullLeft = std::strtoull(HeaderValue(Head, "Content-Length").c_str(), nullptr, 10);
        const unsigned long long ullLength = ullLeft;
        if (strcasecmp(HeaderValue(Head, "Expect").c_str(), "100-continue") == 0 &&
            !SendAll(nFd, "HTTP/1.1 100 Continue\r\n\r\n"))
            return;
        const size_t uBuffered = static_cast<size_t>(std::min<unsigned long long>(ullLeft, Pending.size()));
        Pending.erase(0, uBuffered);
        ullLeft -= uBuffered;
        while (ullLeft > 0)
        {
            const ssize_t nRead =
                recv(nFd, Buffer.data(),
                     static_cast<size_t>(std::min<unsigned long long>(ullLeft, Buffer.size())), 0);
            if (nRead <= 0)
                return;
            ullLeft -= static_cast<unsigned long long>(nRead);
        }
        const std::string Answer = std::to_string(ullLength) + "\n";
        if (!SendAll(nFd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                              std::to_string(Answer.size()) + "\r\n\r\n" + Answer))
            return;
    }
}
} // namespace

int StartSinkProcess(pid_t* pPid)
{
    const int nListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLength = sizeof(Address);
    if (nListen < 0 || bind(nListen, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0 ||
        listen(nListen, 16) != 0 ||
        getsockname(nListen, reinterpret_cast<sockaddr*>(&Address), &uLength) != 0)
    {
        if (nListen >= 0)
            close(nListen);
        return 0;
    }
    const pid_t Pid = fork();
    if (Pid == 0)
    {
        prctl(PR_SET_NAME, "bench-sink");
        while (true)
        {
            const int nFd = accept(nListen, nullptr, nullptr);
            if (nFd < 0)
                continue;
            std::thread(
                [nFd]
                {
                    ServeSink(nFd);
                    close(nFd);
                })
                .detach();
        }
    }
    close(nListen);
    if (Pid < 0)
        return 0;
    *pPid = Pid;
    return ntohs(Address.sin_port);
}
