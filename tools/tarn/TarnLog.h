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

// Why the GET of Address (the two texts joined, as the library logs it) failed: "HTTP 404",
// "connection refused (12029)", ...; "" when the library logged nothing for it. Each failure
// logged is given out once, so that two failed GETs of one address get one each.
std::string TakeGetFailure(const std::string& Address);

// As TakeGetFailure, for a failed POST to Address ("http://server:port/path").
std::string TakePostFailure(const std::string& Address);

// A WinINet or system error code in words: "timed out" for 12002, ...; "error" when unknown.
std::string ErrorCodeText(int nCode);
} // namespace tarn
