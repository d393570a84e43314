#include "protocol/DeviceRecord.h"

#include <cstring>

#include "protocol/FrameCodec.h"

namespace quillon {

namespace {

void PutU16(DeviceRecord& record, int offset, unsigned value)
{
    WriteLe16(record.data() + offset, static_cast<std::uint16_t>(value));
}

}  // namespace

DeviceRecord MakeDeviceRecord(const char* name, std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;

    DeviceRecord record;
    record.fill(0xAA);
    record[0] = 0xA0;
    std::memcpy(record.data() + 1, name, kDeviceNameSize);
    record[13] = 0x00;

    // system_clock counts UTC (leap seconds aside), so the calendar needs no time zone.
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss time{floor<seconds>(when - day)};
    const auto year = static_cast<unsigned>(static_cast<int>(date.year()));
    const auto month = static_cast<unsigned>(date.month());
    const auto dayOfMonth = static_cast<unsigned>(date.day());

    PutU16(record, 25, year);
    PutU16(record, 27, month);
    PutU16(record, 29, dayOfMonth);
    PutU16(record, 31, year);
    PutU16(record, 33, month);
    PutU16(record, 35, dayOfMonth);
    PutU16(record, 37, static_cast<unsigned>(time.hours().count()));
    PutU16(record, 39, static_cast<unsigned>(time.minutes().count()));
    PutU16(record, 41, static_cast<unsigned>(time.seconds().count()));
    record[43] = 0x01;
    return record;
}

}  // namespace quillon
