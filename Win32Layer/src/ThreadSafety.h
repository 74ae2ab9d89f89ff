#pragma once

// The layer's names for EngineCore's lock types (NThreadSafety.h), which both check alike.
#include "NThreadSafety.h"

namespace tarn
{
namespace inet
{
using Mutex = NMutex;
using MutexLock = NMutexLock;
} // namespace inet
} // namespace tarn
