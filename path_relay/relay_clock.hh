// The relay's time: microseconds of the steady clock.
#pragma once

#include <cstdint>

using micros = std::int64_t;

// The steady clock in microseconds.
micros now_us();
