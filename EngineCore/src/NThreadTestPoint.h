#pragma once

#include "EngineCore/NThreadTestHook.h"

// Where the pool passes a test point: the shipped library goes straight on
// (NThreadTestPointOff.cpp); its test variant asks the tests' hook (NThreadTestPointOn.cpp).
// Returns true to go on.
bool NThreadPassTestPoint(ENThreadTestPoint ePoint);
