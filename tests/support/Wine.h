#pragma once

// Whether the test runs under Wine, where WinINet is Wine's own and differs from Microsoft's in a
// few places that the tests name.
namespace tarn
{
namespace test
{
bool RunningUnderWine();
} // namespace test
} // namespace tarn
