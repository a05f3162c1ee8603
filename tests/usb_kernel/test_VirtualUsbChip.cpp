// The virtual chip's reading of the baud-rate request: the divisor each chip
// family encodes (14 integer bits, eighths in three bits split between wValue
// and wIndex, the FT232H's 12 MHz base in wIndex bit 9) back to a rate. The
// rate paces the chip's UART, so a misreading shows as wrong timing only.
#include <gtest/gtest.h>

#include "VirtualUsbChip.h"

TEST(VirtualUsbChip, DecodesEachChipsBaudRateDivisor)
{
    struct Case
    {
        const char *what;
        std::uint16_t value, index;
        bool highSpeed;
        std::uint32_t rate;
    } cases[] = {
        {"FT232R 500000 (divisor 6)", 0x0006, 0x0000, false, 500000},
        {"FT232R 9600 (312.5: code 1 in wValue)", 0x4138, 0x0000, false, 9600},
        {"FT232R 3 MHz (divisor 0)", 0x0000, 0x0000, false, 3000000},
        {"FT232R 2 MHz (divisor 1)", 0x0001, 0x0000, false, 2000000},
        {"FT232R 0.375 (code 4: wIndex bit 0)", 0x0010, 0x0001, false, 183206},
        {"FT232H 500000 on the 3 MHz base", 0x0006, 0x0001, true, 500000},
        {"FT232H 1 MHz on the 12 MHz base", 0x000C, 0x0201, true, 1000000},
        {"FT232H 13.125 on the 12 MHz base", 0xC00D, 0x0201, true, 914286},
        {"FT232H 13.375 (code 4: wIndex bit 8)", 0x000D, 0x0301, true, 897196},
    };
    for (const Case &c : cases)
        EXPECT_EQ(VirtualUsbChip::decodeBaudRate(c.value, c.index, c.highSpeed), c.rate) << c.what;
}
