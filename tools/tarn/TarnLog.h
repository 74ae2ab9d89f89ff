#pragma once

// The library's log lines: shown on standard error with -v, hidden otherwise, and read in both
// cases for the reason each failed request gives.
#include <cstddef>
#include <string>

namespace tarn
{
void RouteLibraryLog(bool bVerbose);

// Lines hidden since RouteLibraryLog(false).
std::size_t HiddenLogLines();

// Why a request failed, in words, and the exit status of its class (TarnExit.h).
struct FailureReason
{
    std::string Text; // "" when the library logged nothing for the request
    int nExit = 1;
};

// Why the GET of Address (the two texts joined, as the library logs it) failed: "HTTP 404",
// "connection refused (12029)", ...; "" when the library logged nothing for it. Each failure
// logged is given out once, so that two failed GETs of one address get one each.
FailureReason TakeGetReason(const std::string& Address);
std::string TakeGetFailure(const std::string& Address); // the text alone

// As TakeGetReason, for a failed POST to Address ("http://server:port/path").
FailureReason TakePostReason(const std::string& Address);

// A WinINet or system error code in words: "timed out" for 12002, ...; "error" when unknown.
std::string ErrorCodeText(int nCode);

// The exit status of a failure with that code: 7 for 12029, ...; 1 when it has no class.
int ExitForErrorCode(int nCode);
} // namespace tarn
