// Time limits of the platform's waits, in milliseconds as Windows counts them.
#pragma once

#include <cstdint>

namespace platform {

// INFINITE: the wait has no time limit.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace platform
