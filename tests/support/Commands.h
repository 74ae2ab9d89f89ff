#pragma once

// Runs a shell command and collects its standard output. The Windows tests run under Wine, which
// starts no Linux programs for them, so there it runs nothing.
#include <string>

namespace tarn
{
namespace test
{
// The command's exit status, or -1 when it could not be run (always on Windows).
int RunCommand(const std::string& Command, std::string& Output);
} // namespace test
} // namespace tarn
