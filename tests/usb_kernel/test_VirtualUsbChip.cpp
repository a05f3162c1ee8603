// The virtual chip on its own, below any USB stack. Its reading of the
// baud-rate request: the divisor each chip family encodes (14 integer bits,
// eighths in three bits split between wValue and wIndex, the FT232H's 12 MHz
// base in wIndex bit 9) back to a rate. The rate paces the chip's UART, so a
// misreading shows as wrong timing only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
// <linux/usbdevice_fs.h> uses _IOR and friends without including them.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <chrono>
#include <string>
#include <thread>

#include "SimulatedFtdiChip.h"
#include "VirtualUsbChip.h"
#include "VirtualUsbTestbed.h"

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

// A host that keeps several bulk IN urbs queued on an idle chip (FTDI's D2XX
// keeps a dozen) gets one status-only packet per latency period, not one per
// urb: the chip has a single latency timer. Were each urb timed on its own,
// the completions would keep the host's event loop busy without a pause, and
// a writer waiting for that loop to pause would stall until its time-out.
TEST(VirtualUsbChip, AnIdleChipAnswersOneQueuedReadPerLatencyPeriod)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment());
    VirtualUsbTestbed testbed("gen2");
    ASSERT_TRUE(testbed.isValid()) << testbed.errorText().toStdString();
    const int fd = ::open(testbed.deviceNode(0).toLocal8Bit().constData(), O_RDWR);
    ASSERT_GE(fd, 0);

    const int latencyMs = 10;
    usbdevfs_ctrltransfer setLatency{0x40, 0x09, latencyMs, 1, 0, 1000, nullptr};
    ASSERT_EQ(::ioctl(fd, USBDEVFS_CONTROL, &setLatency), 0);

    const int queued = 8;
    usbdevfs_urb urbs[queued] = {};
    unsigned char buffers[queued][512];
    for (int i = 0; i < queued; ++i) {
        urbs[i].type = USBDEVFS_URB_TYPE_BULK;
        urbs[i].endpoint = 0x81;
        urbs[i].buffer = buffers[i];
        urbs[i].buffer_length = sizeof buffers[i];
        ASSERT_EQ(::ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]), 0);
    }
    int completions = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto period = std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() - start < period) {
        usbdevfs_urb *reaped = nullptr;
        if (::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped) != 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        ++completions;
        EXPECT_EQ(reaped->actual_length, 2);
        ASSERT_EQ(::ioctl(fd, USBDEVFS_SUBMITURB, reaped), 0);
    }
    // 30 periods; a slow machine answers fewer, never more.
    EXPECT_GE(completions, 5);
    EXPECT_LE(completions, 300 / latencyMs + 2);
    for (usbdevfs_urb &urb : urbs)
        ::ioctl(fd, USBDEVFS_DISCARDURB, &urb);
    ::close(fd);
}

// IN urbs complete in the order they were submitted: bytes that become
// readable while an earlier urb waits go into that urb, and a urb submitted
// meanwhile waits behind it, though it could be filled at once.
TEST(VirtualUsbChip, ANewReadWaitsBehindAnEarlierOne)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment());
    VirtualUsbTestbed testbed("ftdi pace=fast");
    ASSERT_TRUE(testbed.isValid()) << testbed.errorText().toStdString();
    const int fd = ::open(testbed.deviceNode(0).toLocal8Bit().constData(), O_RDWR);
    ASSERT_GE(fd, 0);
    // The longest latency period: an idle chip's status-only answer is far off.
    usbdevfs_ctrltransfer setLatency{0x40, 0x09, 255, 1, 0, 1000, nullptr};
    ASSERT_EQ(::ioctl(fd, USBDEVFS_CONTROL, &setLatency), 0);

    usbdevfs_urb urbs[3] = {};
    unsigned char buffers[3][64];
    const auto submit = [&](int i) {
        urbs[i].type = USBDEVFS_URB_TYPE_BULK;
        urbs[i].endpoint = 0x81;
        urbs[i].buffer = buffers[i];
        urbs[i].buffer_length = sizeof buffers[i];
        return ::ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]);
    };
    const auto reap = [&]() -> usbdevfs_urb * {
        usbdevfs_urb *reaped = nullptr;
        return ::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped) == 0 ? reaped : nullptr;
    };
    // The first answer restarts the latency timer; the next urb then waits.
    ASSERT_EQ(submit(0), 0);
    usbdevfs_urb *reaped = nullptr;
    for (int i = 0; i < 1000 && !reaped; ++i) {
        reaped = reap();
        if (!reaped)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(reaped, &urbs[0]);
    ASSERT_EQ(submit(1), 0);
    EXPECT_EQ(reap(), nullptr);

    testbed.simulatedChip(0)->sendToHost("hello");
    ASSERT_EQ(submit(2), 0);
    reaped = reap();
    ASSERT_EQ(reaped, &urbs[1]);
    ASSERT_EQ(reaped->actual_length, 2 + 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffers[1]) + 2, 5), "hello");
    EXPECT_EQ(reap(), nullptr);
    ::ioctl(fd, USBDEVFS_DISCARDURB, &urbs[2]);
    ::close(fd);
}

int main(int argc, char **argv)
{
    VirtualUsbTestbed::restartPreloaded(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
