#pragma once

// Descriptors that libcurl opens without close-on-exec and gives no way to open otherwise: in
// libcurl 7.88, the socket pair by which curl_multi_wakeup wakes a multi handle, made in
// curl_multi_init. A program that a forked child execs would hold them. Connections' sockets need
// none of this: libcurl opens them through CURLOPT_OPENSOCKETFUNCTION (InetEasySetup.cpp).
#include <vector>

namespace tarn
{
namespace inet
{
// Notes the descriptors open without close-on-exec before a call that opens such a pair, and marks
// the pair after it: two unix stream sockets that appeared meanwhile. Should another thread open
// one too in that moment, it cannot tell which are libcurl's and marks none. Never throws.
class NewSocketPairWatch
{
public:
    NewSocketPairWatch();
    void MarkCloseOnExec();

private:
    std::vector<int> m_Before; // sorted
    bool m_bNoted = false;
};
} // namespace inet
} // namespace tarn
