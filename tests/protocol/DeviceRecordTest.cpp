#include "protocol/DeviceRecord.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;

system_clock::time_point Utc(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

Bytes Slice(const DeviceRecord& record, int first, int last)
{
    return Bytes(record.begin() + first, record.begin() + last + 1);
}

TEST(DeviceRecord, LaysOutNameDateAndTime)
{
    const char name[12] = {'A', 'B', 0, 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'};
    const DeviceRecord record = MakeDeviceRecord(name, Utc(2024, 3, 5, 14, 7, 9) + milliseconds(999));

    EXPECT_EQ(record[0], 0xA0);
    EXPECT_EQ(Slice(record, 1, 12), Bytes(name, name + 12)) << "the zero byte is copied like any other";
    EXPECT_EQ(record[13], 0x00);
    EXPECT_EQ(Slice(record, 14, 24), Bytes(11, 0xAA));
    EXPECT_EQ(Slice(record, 25, 30), (Bytes{0xE8, 0x07, 0x03, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Slice(record, 31, 42),
              (Bytes{0xE8, 0x07, 0x03, 0x00, 0x05, 0x00, 0x0E, 0x00, 0x07, 0x00, 0x09, 0x00}));
    EXPECT_EQ(record[43], 0x01);
    EXPECT_EQ(Slice(record, 44, 64), Bytes(21, 0xAA));
}

TEST(DeviceRecord, CalendarEdges)
{
    struct Case {
        system_clock::time_point when;
        Bytes date;  // year, month, day, little-endian
        Bytes time;  // hour, minute, second
    };
    const std::vector<Case> cases = {
        {Utc(1970, 1, 1, 0, 0, 0), {0xB2, 0x07, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0}},
        {Utc(2024, 2, 29, 23, 59, 59), {0xE8, 0x07, 2, 0, 29, 0}, {23, 0, 59, 0, 59, 0}},
        {Utc(2099, 12, 31, 12, 30, 1), {0x33, 0x08, 12, 0, 31, 0}, {12, 0, 30, 0, 1, 0}},
    };
    const char name[12] = {};
    for (const auto& c : cases) {
        const DeviceRecord record = MakeDeviceRecord(name, c.when);
        EXPECT_EQ(Slice(record, 25, 30), c.date);
        EXPECT_EQ(Slice(record, 31, 36), c.date);
        EXPECT_EQ(Slice(record, 37, 42), c.time);
    }
}

}  // namespace
}  // namespace quillon
