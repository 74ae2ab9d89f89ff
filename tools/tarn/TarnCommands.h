#pragma once

// The get and post commands. Each returns tarn's exit status.
#include "TarnOptions.h"

namespace tarn
{
int RunGet(const Options& Opts);
int RunPost(const Options& Opts);

// The demo lives in TarnDemo.cpp.
int RunDemo(const Options& Opts);
} // namespace tarn
