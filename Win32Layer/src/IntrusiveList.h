#pragma once

// The layer's names for EngineCore's intrusive list (NIntrusiveList.h), which the pool uses too.
#include "NIntrusiveList.h"

namespace tarn
{
namespace inet
{
template <typename T> using ListLink = NListLink<T>;
template <typename T, NListLink<T> T::*Link> using IntrusiveList = NIntrusiveList<T, Link>;
} // namespace inet
} // namespace tarn
