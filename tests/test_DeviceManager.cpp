// The device manager on a simulated bus of virtual instruments: enumeration,
// lookup by serial number, the opening check, waiting for idle queues and the
// orderly shutdown.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "DeviceManager.h"
#include "ProcessCounters.h"
#include "InstrumentBusTest.h"
#include "SimulatedInstrumentI.h"
#include "SimulatedInstrumentII.h"
#include "Veldrin_II_DriverDevice.h"
#include "Veldrin_I_DriverDevice.h"

namespace {

using ProcessCounters::threadCount;

class DeviceManagerTest : public InstrumentBusTest
{
protected:
    void build(const QString &description)
    {
        attachBus(description);
        manager = std::make_unique<DeviceManager>();
    }

    // A manager's destructor waits for idle queues, so destroy it while the
    // bus is still the current provider.
    void TearDown() override
    {
        manager.reset();
        InstrumentBusTest::TearDown();
    }

    std::unique_ptr<DeviceManager> manager;
};

TEST_F(DeviceManagerTest, ListsSupportedInstrumentsInBusOrder)
{
    build(QStringLiteral("ftdi; gen2 serial=SYBH008010007; gen1 serial=SYAH005010001; "
                         "gen2 serial=SYBH008020001; gen1 serial=syah004010009; "
                         "gen1 serial=SYAH004010003"));
    ASSERT_EQ(manager->deviceCount(), 2);
    auto first = std::dynamic_pointer_cast<Veldrin_II_DriverDevice>(manager->deviceAt(1));
    auto second = std::dynamic_pointer_cast<Veldrin_I_DriverDevice>(manager->deviceAt(2));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->deviceInformation().serialNumber, QStringLiteral("SYBH008010007"));
    EXPECT_EQ(second->deviceInformation().serialNumber, QStringLiteral("SYAH004010003"));

    // Each supported instrument was opened once to read its record and closed
    // again; the plain chip, model 5, revision 2 and the lower-case prefix
    // were never opened.
    const int opened[] = {0, 1, 0, 0, 0, 1};
    for (int n = 0; n < 6; ++n) {
        EXPECT_EQ(chip(n)->openCount(), opened[n]) << n;
        EXPECT_FALSE(chip(n)->isOpen()) << n;
    }

    for (const int index : {-1, 0, 3})
        EXPECT_EQ(manager->checkDevice(index), 1) << index;
    EXPECT_FALSE(manager->deviceAt(0));
    EXPECT_FALSE(manager->deviceAt(3));

    manager.reset();
    build(QString());
    EXPECT_EQ(manager->deviceCount(), 0);
    EXPECT_EQ(manager->checkDevice(1), 1);
    manager->waitUntilIdle();
}

TEST_F(DeviceManagerTest, FindsDevicesBySerialNumber)
{
    build(QStringLiteral("gen1 serial=SYAH004010001; gen1 serial=SYAH004010002; "
                         "gen2 serial=SYBH008010005; gen1 serial=SYAH004010006 fault=eeprom-fail; "
                         "gen2 serial=SYBH008010008 page-serial=garbage"));
    ASSERT_EQ(manager->deviceCount(), 5);
    const struct
    {
        const char *query;
        int status;
        int index;
    } cases[] = {
        {"SYAH004010002", 0, 2},
        {"syah00401XxXx", 0, 1},  // the wildcard unit matches the first of the model
        {"SYBH00801xxxx", 0, 3},
        {"SYBH008010005", 0, 3},
        {"SYAH004010003", 6, -1}, // no such unit
        {"SYBH004010001", 6, -1}, // the letters count
        {"SYAH00401", 6, -1},     // the short form names unit 0
        // The lookup compares the serial number read from the instrument:
        // one that could not be read, or does not parse, matches nothing.
        {"SYAH004010006", 6, -1},
        {"SYBH008010008", 6, -1},
        {"", 6, -1},
        {"garbage", 6, -1},
        {"SY", 6, -1},
    };
    for (const auto &c : cases) {
        int index = 99;
        EXPECT_EQ(manager->indexOfSerialNumber(QString::fromLatin1(c.query), index), c.status) << c.query;
        EXPECT_EQ(index, c.index) << c.query;
    }
    // Why a listed instrument is unknown to the lookup is its opening outcome
    // until it is opened; a record that was read leaves none, even when its
    // serial number does not parse.
    for (int device = 1; device <= 5; ++device) {
        const USBResult why = manager->deviceAt(device)->openingResult();
        EXPECT_EQ(why.toString().startsWith(QLatin1String("The information record could not be read when listed")),
                  device == 4)
            << device << ": " << why.toString().toStdString();
    }
}

TEST_F(DeviceManagerTest, CheckDeviceOpensOrPassesTheFailureThrough)
{
    build(QStringLiteral("gen1 serial=SYAH004010001 fault=eeprom-fail; "
                         "gen1 serial=SYAH004010002 fault=short-write; "
                         "gen2 serial=SYBH008010003 fault=busy; "
                         "gen2 serial=SYBH008010004 fault=bad-marker; "
                         "gen1 serial=SYAH004010005 firmware=2; "
                         "gen2 serial=SYBH008010006"));
    ASSERT_EQ(manager->deviceCount(), 6);
    const int expected[] = {3, 4, 7, 8, 9};
    for (int index = 1; index <= 5; ++index) {
        EXPECT_EQ(manager->checkDevice(index), expected[index - 1]) << index;
        // A device that failed its checks is closed again.
        EXPECT_FALSE(chip(index - 1)->isOpen()) << index;
        EXPECT_TRUE(manager->deviceAt(index)->isIdle()) << index;
    }

    // Success leaves the device open with its read-backs already handled.
    EXPECT_EQ(manager->checkDevice(6), 0);
    EXPECT_TRUE(chip(5)->isOpen());
    auto device = std::dynamic_pointer_cast<Veldrin_II_DriverDevice>(manager->deviceAt(6));
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->isIdle());
    const auto stored = instrumentAt<SimulatedInstrumentII>(5)->calibration();
    EXPECT_DOUBLE_EQ(device->calibration().offsetFor(1, 2, 3, true), stored.offset[1][2][1][1] / 10.0);
    EXPECT_EQ(manager->checkDevice(6), 0);
    EXPECT_EQ(chip(5)->openCount(), 2);
}

TEST_F(DeviceManagerTest, WaitUntilIdleReturnsOnceEveryQueueHasDrained)
{
    build(QStringLiteral("gen1; gen2"));
    ASSERT_EQ(manager->checkDevice(1), 0);
    ASSERT_EQ(manager->checkDevice(2), 0);
    auto one = manager->deviceAt(1);
    auto two = manager->deviceAt(2);
    for (int i = 1; i <= 40; ++i) {
        ASSERT_EQ(one->setPWM(1, i), 0);
        ASSERT_EQ(two->setDACOffset(1, 100 * i), 0);
    }
    manager->waitUntilIdle();
    EXPECT_TRUE(one->isIdle());
    EXPECT_TRUE(two->isIdle());
    // The last request of each queue has been answered.
    EXPECT_EQ(instrumentAt<SimulatedInstrumentI>(0)->pwmSettings(), QByteArray::fromHex("0228"));
    EXPECT_EQ(instrumentAt<SimulatedInstrumentII>(1)->dacSettings(1).mid(5), QByteArray::fromHex("A00F"));
}

// The one slow test: a request to an instrument that stopped answering ends
// with its reply time-out, so waiting for idle queues still returns.
TEST_F(DeviceManagerTest, WaitUntilIdleReturnsWhenAnInstrumentFallsSilent)
{
    build(QStringLiteral("gen1; gen2"));
    ASSERT_EQ(manager->checkDevice(2), 0);
    auto device = std::dynamic_pointer_cast<Veldrin_II_DriverDevice>(manager->deviceAt(2));
    ASSERT_TRUE(device);
    instrumentAt<SimulatedInstrumentII>(1)->setReplying(false);
    ASSERT_EQ(device->setDACOffset(1, 100), 0);
    QElapsedTimer timer;
    timer.start();
    manager->waitUntilIdle();
    EXPECT_GE(timer.elapsed(), 3900);
    EXPECT_LT(timer.elapsed(), 8000);
    EXPECT_TRUE(device->isIdle());
    EXPECT_EQ(device->lastResult().message, QStringLiteral("Communication timed out"));
}

TEST_F(DeviceManagerTest, DestructionDrainsClosesAndReleasesEveryDevice)
{
    ProcessCounters::startAndEndAThread();
    const int threadsBefore = threadCount();
    build(QStringLiteral("gen1; gen2; gen2 fault=busy"));
    ASSERT_EQ(manager->checkDevice(1), 0);
    ASSERT_EQ(manager->checkDevice(2), 0);
    EXPECT_GT(threadCount(), threadsBefore);
    std::weak_ptr<VeldrinDriverDevice> devices[] = {manager->deviceAt(1), manager->deviceAt(2),
                                                    manager->deviceAt(3)};
    // Queued, not yet carried out: destruction waits for them first.
    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(manager->deviceAt(2)->setDACAmplitude(2, 100 * i), 0);
    ASSERT_EQ(manager->deviceAt(1)->runMeasurement(3, 5, 2000), 0);

    manager.reset();
    for (int n = 0; n < 3; ++n) {
        EXPECT_FALSE(chip(n)->isOpen()) << n;
        EXPECT_TRUE(devices[n].expired()) << n;
    }
    EXPECT_EQ(chip(0)->closeCount(), chip(0)->openCount());
    EXPECT_EQ(chip(1)->closeCount(), chip(1)->openCount());
    EXPECT_EQ(instrumentAt<SimulatedInstrumentII>(1)->dacSettings(2).mid(3, 2), QByteArray::fromHex("D007"));
    EXPECT_EQ(instrumentAt<SimulatedInstrumentI>(0)->acquisitionCount(), 1u);
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }, 2000))
        << threadCount() << " threads, " << threadsBefore << " before";
}

} // namespace
