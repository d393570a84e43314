// The device record: the device's 12-byte name with the date and time it was written, in UTC.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace quillon {

inline constexpr int kDeviceNameSize = 12;
inline constexpr int kDeviceRecordSize = 65;

using DeviceRecord = std::array<std::uint8_t, kDeviceRecordSize>;

// Lays out the record for name (exactly 12 bytes, taken as they are, zero bytes included) written at
// the given moment. The date stands twice, once alone and once with the time of day; every date and
// time field is a 16-bit little-endian number.
DeviceRecord MakeDeviceRecord(const char* name, std::chrono::system_clock::time_point when);

}  // namespace quillon
