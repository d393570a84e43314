// What the registry's PendingOp says is going on, so that the dispatcher knows how to read the
// device's next answers.
#pragma once

#include <cstdint>

namespace quillon::pending {

inline constexpr std::int32_t kNone = -1;
inline constexpr std::int32_t kUpload = 0;
inline constexpr std::int32_t kVersionWrite = 1;
inline constexpr std::int32_t kDownload = 10;
inline constexpr std::int32_t kVersionRead = 11;

}  // namespace quillon::pending
