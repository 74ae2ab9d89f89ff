#pragma once

// The get and post commands. Each returns tarn's exit status.
#include "TarnOptions.h"

#include <string>

namespace tarn
{
int RunGet(const Options& Opts);
int RunPost(const Options& Opts);

// What --version prints: tarn's version and the version of the library it runs on.
std::string VersionText();

// The demo lives in TarnDemo.cpp.
int RunDemo(const Options& Opts);
} // namespace tarn
