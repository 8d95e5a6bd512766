#pragma once

#include <cstdint>

#include "host/HostOptions.h"

// The delay a ramp asks for after `elapsedSeconds`. It moves in whole steps
// of 10 ms, because every change restarts the engine and is briefly audible;
// it holds `fromMs` at the start and reaches `toMs` exactly at the end.
std::int32_t DelayAt(const DelayRampSpec& ramp, double elapsedSeconds);
