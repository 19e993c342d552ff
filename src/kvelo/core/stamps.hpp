// Time stamps as the table library holds them: nanoseconds since the epoch in
// an int64, with the smallest int64 standing for a missing stamp (NaT).
#pragma once

#include <cstdint>
#include <limits>

namespace kvelo::core {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

}  // namespace kvelo::core
