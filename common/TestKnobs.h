// Knobs that let tests shorten the service's timings (ZEL_TEST_TICK_MS, ZEL_TEST_RETRY_SECONDS, ...).
// They are read from the environment only in builds configured with ZEL_TEST_KNOBS=ON, which the
// test script turns on; in every other build (benchmarks, packages) a knob never has a value, so a
// stray variable cannot change how a deployed service behaves.
#pragma once

#include <cstdint>
#include <optional>

namespace zel {

// Whether this build honours the knobs.
bool TestKnobsEnabled();

// The knob's value, a decimal number of 0 or more; none when the build ignores knobs, or the
// variable is unset or not such a number.
std::optional<int64_t> TestKnob(const char* name);

}  // namespace zel
