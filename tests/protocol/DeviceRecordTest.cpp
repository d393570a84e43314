#include "protocol/DeviceRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;

system_clock::time_point Utc(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

// The whole record, from its parts: the name as it is (zero bytes too), the date twice, then the
// time of day, all 16-bit little-endian, in a record otherwise filled with AA.
Bytes Expected(const char* name, const Bytes& date, const Bytes& time)
{
    Bytes record(kDeviceRecordSize, 0xAA);
    record[0] = 0xA0;
    std::copy(name, name + 12, record.begin() + 1);
    record[13] = 0x00;
    std::copy(date.begin(), date.end(), record.begin() + 25);
    std::copy(date.begin(), date.end(), record.begin() + 31);
    std::copy(time.begin(), time.end(), record.begin() + 37);
    record[43] = 0x01;
    return record;
}

TEST(DeviceRecord, LaysOutNameDateAndTimeAcrossCalendarEdges)
{
    struct Case {
        system_clock::time_point when;
        Bytes date;  // year, month, day
        Bytes time;  // hour, minute, second
    };
    const std::vector<Case> cases = {
        {Utc(2024, 3, 5, 14, 7, 9) + milliseconds(999), {0xE8, 0x07, 3, 0, 5, 0}, {14, 0, 7, 0, 9, 0}},
        {Utc(1970, 1, 1, 0, 0, 0), {0xB2, 0x07, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0}},
        {Utc(2024, 2, 29, 23, 59, 59), {0xE8, 0x07, 2, 0, 29, 0}, {23, 0, 59, 0, 59, 0}},
        {Utc(2099, 12, 31, 12, 30, 1), {0x33, 0x08, 12, 0, 31, 0}, {12, 0, 30, 0, 1, 0}},
    };
    const char name[12] = {'A', 'B', 0, 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'};
    for (const auto& c : cases) {
        const DeviceRecord record = MakeDeviceRecord(name, c.when);
        EXPECT_EQ(Bytes(record.begin(), record.end()), Expected(name, c.date, c.time)) << +c.date[4];
    }
}

}  // namespace
}  // namespace quillon
