#include <gtest/gtest.h>

#include <utility>

#include "SimulatedBusTest.h"
#include "USBFtdiDevice.h"

using namespace Ftdi;

namespace {

class USBFtdiDeviceTest : public SimulatedBusTest
{
protected:
    // A chip with the given EEPROM serial number, listed as an instrument.
    std::shared_ptr<SimulatedFtdiChip> addInstrument(DeviceType type, const QString &eepromSerial)
    {
        auto chip = addChip(type, QStringLiteral("SYAH004010001"));
        chip->setEepromIdentity(eepromSerial, QStringLiteral("Test chip"));
        return chip;
    }

    std::shared_ptr<USBDevice> openedDevice(DeviceType type = Device232R)
    {
        chip = addChip(type, QStringLiteral("SYAH004010001"));
        auto device = listed(0);
        EXPECT_TRUE(device->open(500000).isSuccess());
        chip->clearCalls();
        return device;
    }

    std::shared_ptr<SimulatedFtdiChip> chip;
};

} // namespace

TEST_F(USBFtdiDeviceTest, OpenConfiguresEachChipTypeAndHandshakeLetter)
{
    const QStringList uartTail = {"setDataCharacteristics 8 0 2", "setLatencyTimer 2",
                                  "setUsbParameters 8192 256", "purge 3"};
    struct Case
    {
        DeviceType type;
        const char *serial;
        QStringList expected;
        int priority;
    } cases[] = {
        {Device232R, "SYAH004010001",
         QStringList{"open", "getDeviceInfo", "eeRead 2", "setBaudRate 500000", "setFlowControl 0 0 0"} + uartTail,
         USBFtdiDevice::InheritPriority},
        {Device232R, "sybp00801",
         QStringList{"open", "getDeviceInfo", "eeRead 2", "setBaudRate 500000", "setFlowControl 256 0 0"} + uartTail,
         USBFtdiDevice::InheritPriority},
        {DeviceXSeries, "SYBH00801XXXX",
         QStringList{"open", "getDeviceInfo", "eepromRead 56", "setBaudRate 500000", "setFlowControl 256 0 0"} + uartTail,
         USBFtdiDevice::InheritPriority},
        // FIFO mode ignores both the baud rate and the handshake letter.
        {Device232H, "SYAH008010001",
         {"open", "getDeviceInfo", "eeRead 5", "setBitMode 255 0", "setBitMode 255 64", "setLatencyTimer 2",
          "setUsbParameters 65536 65536", "setFlowControl 256 0 0", "purge 3"},
         USBFtdiDevice::TimeCriticalPriority},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serial);
        bus = std::make_shared<SimulatedBus>();
        FtdiBackend::setCurrent(bus);
        auto chip = addInstrument(c.type, QString::fromLatin1(c.serial));
        auto device = listed(0);
        const USBResult result = device->open(500000);
        EXPECT_TRUE(result.isSuccess());
        EXPECT_EQ(result.message, "Valid");
        EXPECT_TRUE(device->isOpen());
        EXPECT_TRUE(chip->isOpen());
        EXPECT_EQ(chip->callTexts(), c.expected);
        EXPECT_EQ(device->threadPriority(), c.priority);
    }
}

TEST_F(USBFtdiDeviceTest, FifoSetupWaitsAfterEachBitMode)
{
    auto chip = addInstrument(Device232H, QStringLiteral("SYAH008010001"));
    ASSERT_TRUE(listed(0)->open(0).isSuccess());
    const QList<SimulatedFtdiChip::Call> calls = chip->calls();
    ASSERT_EQ(calls.size(), 9);
    const qint64 tenMs = 10 * 1000 * 1000;
    EXPECT_GE(calls[4].atNs - calls[3].atNs, tenMs); // reset, then FIFO mode
    EXPECT_GE(calls[5].atNs - calls[4].atNs, tenMs); // FIFO mode, then latency
    EXPECT_EQ(chip->configuration().bitModes, (QVector<QPair<quint8, quint8>>{{0xFF, 0x00}, {0xFF, 0x40}}));
}

TEST_F(USBFtdiDeviceTest, FailedOpenReportsWhyAndLeavesEverythingClosed)
{
    struct Case
    {
        const char *name;
        std::function<void(SimulatedFtdiChip &)> arrange;
        int baudRate;
        const char *message;
    } cases[] = {
        {"wrong prefix letter", [](SimulatedFtdiChip &c) { c.setEepromIdentity("SYCH00401", "x"); }, 500000,
         "Unknown USB serial number"},
        {"wrong type letter", [](SimulatedFtdiChip &c) { c.setEepromIdentity("SYAX00401", "x"); }, 500000,
         "Unknown USB serial number"},
        {"too short", [](SimulatedFtdiChip &c) { c.setEepromIdentity("SYAH0040", "x"); }, 500000,
         "Unknown USB serial number"},
        {"letter in model", [](SimulatedFtdiChip &c) { c.setEepromIdentity("SYAHA0401", "x"); }, 500000,
         "Unknown USB serial number"},
        {"EEPROM unreadable", [](SimulatedFtdiChip &c) { c.setFault(SimulatedFtdiChip::EepromReadFailure); },
         500000, "Unknown USB serial number"},
        {"EEPROM blank", [](SimulatedFtdiChip &c) { c.setFault(SimulatedFtdiChip::BlankEeprom); }, 500000,
         "Unknown USB serial number"},
        {"baud rate refused", [](SimulatedFtdiChip &) {}, 0, "Invalid BAUD rate"},
        {"unplugged", [](SimulatedFtdiChip &c) { c.setFault(SimulatedFtdiChip::Unplugged); }, 500000,
         "Device not found"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_shared<SimulatedBus>();
        FtdiBackend::setCurrent(bus);
        auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
        auto device = listed(0);
        c.arrange(*chip);
        const USBResult result = device->open(c.baudRate);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.message, c.message);
        EXPECT_FALSE(device->isOpen());
        EXPECT_FALSE(chip->isOpen());
        EXPECT_EQ(chip->openCount(), chip->closeCount());
    }

    // A chip type without a readable serial number cannot be opened at all.
    auto other = addChip(Device2232H, QStringLiteral("SYAH004010001"));
    auto device = listed(0);
    EXPECT_EQ(device->open(500000).message, "Unknown USB serial number");
    EXPECT_FALSE(other->isOpen());
}

TEST_F(USBFtdiDeviceTest, OpenTwiceOrWhileTheChipIsBusy)
{
    auto device = openedDevice();
    EXPECT_EQ(device->open(500000).message, "Device already open");
    EXPECT_TRUE(device->isOpen());
    EXPECT_TRUE(chip->callTexts().isEmpty()); // refused before any vendor call

    auto second = listed(0);
    EXPECT_FALSE(second->isOpen());
    EXPECT_EQ(second->open(500000).message, "Device not opened");
    EXPECT_TRUE(device->close().isSuccess());
    EXPECT_TRUE(second->open(500000).isSuccess());
}

// The vendor opens by position in its current list: once a chip listed
// before is unplugged, a listed device is opened (or programmed) on its own
// chip where it now is, never on the chip that moved up into its old place,
// whether that one reports another serial number or none (whatever its
// EEPROM holds).
TEST_F(USBFtdiDeviceTest, OpensItsOwnChipAfterAnEarlierOneIsUnplugged)
{
    for (const char *movedUp : {"SYAH004010003", ""}) {
        SCOPED_TRACE(movedUp);
        bus = std::make_shared<SimulatedBus>();
        FtdiBackend::setCurrent(bus);
        auto first = addChip(Device232R, QStringLiteral("SYAH004010001"));
        auto second = addChip(Device232R, QStringLiteral("SYAH004010002"));
        auto third = addChip(Device232R, QString::fromLatin1(movedUp));
        third->setEepromIdentity(QStringLiteral("SYAH004010002"), QStringLiteral("Test chip"));
        auto secondListed = listed(1);
        first->setFault(SimulatedFtdiChip::Unplugged);

        ASSERT_TRUE(secondListed->open(500000).isSuccess());
        EXPECT_TRUE(second->isOpen());
        EXPECT_FALSE(third->isOpen());
        ASSERT_TRUE(secondListed->close().isSuccess());

        USBDeviceIdentity identity;
        identity.serialNumber = QStringLiteral("SYAH004010042");
        ASSERT_TRUE(secondListed->programIdentity(identity).isSuccess());
        EXPECT_EQ(second->eeprom().serialNumber, "SYAH004010042");
        EXPECT_EQ(third->eeprom().serialNumber, "SYAH004010002");
    }

    // Gone with the chip before it: not found; the one after still opens.
    bus = std::make_shared<SimulatedBus>();
    FtdiBackend::setCurrent(bus);
    auto first = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto second = addChip(Device232R, QStringLiteral("SYAH004010002"));
    auto third = addChip(Device232R, QStringLiteral("SYAH004010003"));
    auto secondListed = listed(1), thirdListed = listed(2);
    first->setFault(SimulatedFtdiChip::Unplugged);
    second->setFault(SimulatedFtdiChip::Unplugged);
    EXPECT_EQ(secondListed->open(500000).message, "Device not found");
    EXPECT_FALSE(third->isOpen());
    ASSERT_TRUE(thirdListed->open(500000).isSuccess());
    EXPECT_TRUE(third->isOpen());
}

TEST_F(USBFtdiDeviceTest, ExactCountReadsAndWrites)
{
    auto device = openedDevice();
    ScriptedPeer &instrument = peer(0);
    instrument.addRule("ping", "pong!");

    EXPECT_EQ(device->write("pi"), 2);
    device->writeByte('n');
    device->writeByte('g');
    EXPECT_EQ(instrument.written(), "ping");
    EXPECT_EQ(device->bytesAvailable(), 5);
    EXPECT_EQ(device->read(5), "pong!");

    chip->clearCalls();
    EXPECT_EQ(device->write(QByteArray()), 0);
    EXPECT_TRUE(chip->callTexts().isEmpty());

    const QByteArray block(999, '\x5a');
    chip->sendToHost(block);
    char buffer[999];
    device->read(buffer, 999);
    EXPECT_EQ(QByteArray(buffer, 999), block);

    EXPECT_EQ(device->setStreamTimeouts(), 0u);
    EXPECT_EQ(chip->configuration().readTimeout, 50u);
    chip->sendToHost("abc");
    EXPECT_EQ(thrownMessage([&] { device->read(4); }), "Communication timed out");
    EXPECT_EQ(thrownMessage([&] { device->read(-1); }), "Invalid parameter");
#ifdef QT_NO_DEBUG
    EXPECT_EQ(thrownMessage([&] { device->read(1000); }), "Invalid parameter");
#endif

    chip->setFault(SimulatedFtdiChip::ShortWrites);
    EXPECT_EQ(thrownMessage([&] { device->write("abc"); }), "Communication timed out");
    EXPECT_EQ(thrownMessage([&] { device->writeByte('x'); }), "Communication timed out");
    // A chip that takes part of each write gets the rest written again.
    chip->setFault(SimulatedFtdiChip::ShortWrites, false);
    chip->setFault(SimulatedFtdiChip::PartialWrites);
    EXPECT_EQ(device->write("0123456789"), 10);
    EXPECT_TRUE(chip->hostWritten().endsWith("0123456789")) << chip->hostWritten().toStdString();
    EXPECT_EQ(device->setDefaultTimeouts(), 0u);
    EXPECT_EQ(chip->configuration().readTimeout, 1000u);
    EXPECT_EQ(chip->configuration().writeTimeout, 1000u);
}

// Vendor reads that hand over more than asked for (every read, or D2XX's
// read whose time-out expires as bytes arrive): each read path fills no more
// than its buffer, and every byte comes out once, in order. Buffers are
// exactly the capacity given, so a write past one is an invalid access under
// AddressSanitizer, and guard bytes show it elsewhere.
TEST_F(USBFtdiDeviceTest, OverlongVendorReadsLoseNothingAndWriteNothingPastTheBuffer)
{
    auto device = openedDevice();
    QByteArray sent, received;
    const auto send = [&](SimulatedLink &link, int count) {
        QByteArray bytes;
        for (int i = 0; i < count; ++i)
            bytes.append(char('A' + (sent.size() + i) % 23));
        sent.append(bytes);
        link.sendToHost(bytes);
    };
    const auto readSome = [&](int capacity) {
        std::vector<char> buffer(size_t(capacity) + 1, '#');
        const int got = device->readSome(buffer.data(), capacity);
        EXPECT_EQ(buffer[size_t(capacity)], '#');
        received.append(buffer.data(), got);
        return got;
    };
    const auto readExact = [&](int count) {
        std::vector<char> buffer(size_t(count) + 1, '#');
        device->read(buffer.data(), count);
        EXPECT_EQ(buffer[size_t(count)], '#');
        received.append(buffer.data(), count);
    };
    const auto readAvailable = [&](int count) {
        QByteArray buffer;
        const int got = device->readAvailable(buffer, count);
        EXPECT_EQ(buffer.size(), got);
        EXPECT_LE(got, count);
        received.append(buffer);
        return got;
    };

    chip->setFault(SimulatedFtdiChip::OverlongEveryRead);
    send(*chip, 2000);
    EXPECT_EQ(readAvailable(5), 5);
    EXPECT_EQ(device->bytesAvailable(), 1995);
    readExact(3);
    EXPECT_EQ(readSome(4), 4);
    while (received.size() < sent.size())
        ASSERT_GT(readAvailable(700), 0);

    // Bytes arriving between readSome's queue query and its second read.
    send(*chip, 3);
    bool once = true;
    chip->setQueueStatusHook([&](SimulatedLink &link) {
        if (std::exchange(once, false))
            send(link, 7);
    });
    EXPECT_EQ(readSome(4), 4);
    chip->setQueueStatusHook({});
    EXPECT_EQ(readSome(64), 6);

    // D2XX: the time-out expires as a packet arrives.
    chip->setFault(SimulatedFtdiChip::OverlongEveryRead, false);
    chip->setFault(SimulatedFtdiChip::OverlongReads);
    ASSERT_EQ(device->setStreamTimeouts(), 0u);
    int packet = 0;
    chip->setReadTimeoutHook([&](SimulatedLink &link) { send(link, packet); });
    send(*chip, 2);
    packet = 20;
    readExact(5);
    EXPECT_EQ(readSome(50), 17);
    packet = 100;
    EXPECT_EQ(readSome(10), 10);
    chip->setReadTimeoutHook({});
    EXPECT_EQ(device->bytesAvailable(), 90);
    while (received.size() < sent.size())
        ASSERT_GT(readSome(50), 0);
    EXPECT_EQ(received, sent);
    EXPECT_FALSE(device->isLost());

    // An exact read that times out hands over nothing and keeps its bytes.
    send(*chip, 2);
    EXPECT_EQ(thrownMessage([&] { readExact(3); }), "Communication timed out");
    EXPECT_EQ(readSome(8), 2);
    EXPECT_EQ(received.right(2), sent.right(2));
}

TEST_F(USBFtdiDeviceTest, ReadAvailableTakesWhatIsMissingUpToTheCap)
{
    auto device = openedDevice();
    QByteArray buffer("xy");
    EXPECT_EQ(device->readAvailable(buffer, 10), 0); // nothing queued yet
    EXPECT_EQ(buffer, "xy");

    chip->sendToHost("0123456789ABCDEFGHIJ");
    EXPECT_EQ(device->readAvailable(buffer, 10), 8);
    EXPECT_EQ(buffer, "xy01234567");
    EXPECT_EQ(device->readAvailable(buffer, 4), 0); // already past the target
    EXPECT_EQ(buffer, "xy01234567");

    chip->sendToHost(QByteArray(12000, 'z'));
    QByteArray big;
    EXPECT_EQ(device->readAvailable(big, 30000), 10000);
    EXPECT_EQ(big.size(), 10000);
    EXPECT_EQ(device->bytesAvailable(), 12 + 2000);
}

TEST_F(USBFtdiDeviceTest, ClosedAndUnpluggedDevicesFailWithTheirMessages)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = listed(0);
    QByteArray buffer;
    char byte;
    EXPECT_EQ(thrownMessage([&] { device->read(1); }), "Device not open");
    EXPECT_EQ(thrownMessage([&] { device->read(&byte, 1); }), "Device not open");
    EXPECT_EQ(thrownMessage([&] { device->write("a"); }), "Device not open");
    EXPECT_EQ(thrownMessage([&] { device->writeByte('a'); }), "Device not open");
    EXPECT_EQ(thrownMessage([&] { device->readAvailable(buffer, 1); }), "Device not open");
    // The queue query is made even without a handle, and fails.
    EXPECT_EQ(thrownMessage([&] { device->bytesAvailable(); }), "Invalid handle");
    EXPECT_EQ(device->status().state, USBDeviceStatus::NotOpen);
    EXPECT_TRUE(device->close().isSuccess());

    ASSERT_TRUE(device->open(500000).isSuccess());
    chip->setFault(SimulatedFtdiChip::Unplugged);
    EXPECT_EQ(thrownMessage([&] { device->read(1); }), "Communication error");
    EXPECT_EQ(thrownMessage([&] { device->write("a"); }), "Communication error");
    EXPECT_EQ(thrownMessage([&] { device->bytesAvailable(); }), "Communication error");
    // A failed queue query counts as nothing available; the read then fails.
    EXPECT_EQ(thrownMessage([&] { device->readAvailable(buffer, 1); }), "Communication error");
    const USBDeviceStatus status = device->status();
    EXPECT_EQ(status.state, USBDeviceStatus::QueryFailed);
    EXPECT_EQ(status.message, "Communication error");
    EXPECT_EQ(status.rxQueueBytes, 0u);
    EXPECT_TRUE(device->close().isSuccess());
    EXPECT_FALSE(device->isOpen());
}

TEST_F(USBFtdiDeviceTest, StatusAndPurgeSeeBothQueues)
{
    auto quiet = bus->attach(std::make_shared<SimulatedFtdiChip>(Device232R, "SYAH004010001", "No peer"));
    auto device = listed(0);
    ASSERT_TRUE(device->open(500000).isSuccess());
    device->write("1234");
    quiet->sendToHost("abcdefg");
    USBDeviceStatus status = device->status();
    EXPECT_EQ(status.state, USBDeviceStatus::Open);
    EXPECT_EQ(status.rxQueueBytes, 7u);
    EXPECT_EQ(status.txQueueBytes, 4u);

    EXPECT_EQ(device->purge(), 0u);
    status = device->status();
    EXPECT_EQ(status.rxQueueBytes, 0u);
    EXPECT_EQ(status.txQueueBytes, 0u);
    EXPECT_EQ(quiet->configuration().purgeCount, 2); // open's and ours
    EXPECT_EQ(quiet->configuration().purgeMasks, 3u);
}

TEST_F(USBFtdiDeviceTest, ClonesShareTheHandle)
{
    auto device = openedDevice(Device232H);
    device->setVersionPair(qMakePair(3, 7));
    auto copy = device->clone();
    EXPECT_TRUE(copy->isOpen());
    EXPECT_EQ(copy->index(), device->index());
    EXPECT_EQ(copy->usbId(), device->usbId());
    EXPECT_EQ(copy->serialNumber(), "SYAH004010001");
    EXPECT_EQ(copy->description(), "Test chip");
    EXPECT_EQ(copy->versionPair(), qMakePair(3, 7));
    EXPECT_EQ(copy->threadPriority(), USBFtdiDevice::TimeCriticalPriority);

    chip->sendToHost("hello");
    EXPECT_EQ(copy->read(3), "hel");
    EXPECT_EQ(device->read(2), "lo");
    EXPECT_EQ(chip->openCount(), 1);

    device->close();
    EXPECT_FALSE(chip->isOpen());
    EXPECT_EQ(thrownMessage([&] { copy->write("x"); }), "Invalid handle");
}

TEST_F(USBFtdiDeviceTest, ResetAndCloseCyclesThePortAndForgetsTheHandle)
{
    auto device = openedDevice();
    device->resetAndClose();
    EXPECT_EQ(chip->callTexts(), (QStringList{"cyclePort", "close"}));
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(chip->portCycleCount(), 1);
    EXPECT_EQ(peer(0).portCycledCount(), 1);
    device->resetAndClose();
    EXPECT_EQ(chip->portCycleCount(), 1);
    EXPECT_TRUE(device->open(500000).isSuccess());
}

TEST_F(USBFtdiDeviceTest, ProgramIdentityRewritesTheEepromAndReenumerates)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"), QStringLiteral("Old name"));
    auto device = listed(0);
    USBDeviceIdentity identity;
    identity.serialNumber = QStringLiteral("SYAH004010042");
    identity.description = QStringLiteral("New name");
    identity.selfPowered = 1;
    identity.maxPower = 100;

    const USBResult result = device->programIdentity(identity);
    EXPECT_TRUE(result.isSuccess());
    EXPECT_EQ(chip->callTexts(), (QStringList{"open", "getDeviceInfo", "eeRead 2", "eeProgram 2", "cyclePort", "close"}));
    const SimulatedFtdiChip::Eeprom eeprom = chip->eeprom();
    EXPECT_EQ(eeprom.serialNumber, "SYAH004010042");
    EXPECT_EQ(eeprom.description, "New name");
    EXPECT_EQ(eeprom.manufacturer, "FTDI"); // kept from what was read
    EXPECT_EQ(eeprom.record.maxPower, 100);
    EXPECT_EQ(eeprom.record.selfPowered, 1);
    EXPECT_EQ(eeprom.record.rIsD2XX, 1);
    EXPECT_FALSE(chip->isOpen());
    EXPECT_FALSE(device->isOpen());

    // The device object keeps its enumeration-time identity; a new
    // enumeration sees the new one.
    EXPECT_EQ(device->serialNumber(), "SYAH004010001");
    auto again = listed(0);
    EXPECT_EQ(again->serialNumber(), "SYAH004010042");
    EXPECT_EQ(again->description(), "New name");

    ASSERT_TRUE(again->open(500000).isSuccess());
    EXPECT_EQ(again->programIdentity(identity).message, "Already open.");
}

TEST_F(USBFtdiDeviceTest, ProgramIdentityTruncatesTexts)
{
    auto chip = addChip(DeviceXSeries, QStringLiteral("SYAH004010001"));
    USBDeviceIdentity identity;
    identity.serialNumber = QStringLiteral("SYAH004010042ABCDEFG");
    identity.description = QString(70, QLatin1Char('d'));
    identity.maxPower = 250;
    ASSERT_TRUE(listed(0)->programIdentity(identity).isSuccess());
    SimulatedFtdiChip::Eeprom eeprom = chip->eeprom();
    EXPECT_EQ(eeprom.serialNumber, "SYAH004010042ABC");
    EXPECT_EQ(eeprom.description, QByteArray(63, 'd'));
    EXPECT_EQ(eeprom.xSeries.common.maxPower, 250);
    EXPECT_EQ(eeprom.xSeries.common.deviceType, DeviceXSeries);

    // A character beyond Latin-1 becomes a zero byte, which ends the text.
    identity.description = QStringLiteral("Gr\u00fcn\u20acX");
    ASSERT_TRUE(listed(0)->programIdentity(identity).isSuccess());
    eeprom = chip->eeprom();
    EXPECT_EQ(eeprom.description, "Gr\xfcn");
    EXPECT_EQ(eeprom.programCount, 2);
}

TEST_F(USBFtdiDeviceTest, ProgramIdentityOnAnFT232H)
{
    USBDeviceIdentity identity;
    identity.serialNumber = QStringLiteral("SYBH008010003");
    identity.description = QStringLiteral("Veldrin II");
    identity.maxPower = 200;

    // A blank EEPROM starts from the default record.
    auto blank = addChip(Device232H, QStringLiteral("SYBH008010001"));
    blank->setFault(SimulatedFtdiChip::BlankEeprom);
    ASSERT_TRUE(listed(0)->programIdentity(identity).isSuccess());
    const SimulatedFtdiChip::Eeprom eeprom = blank->eeprom();
    EXPECT_TRUE(eeprom.programmed);
    EXPECT_EQ(eeprom.manufacturer, "FTDI");
    EXPECT_EQ(eeprom.manufacturerId, "FT");
    EXPECT_EQ(eeprom.serialNumber, "SYBH008010003");
    EXPECT_EQ(eeprom.record.version, ProgramDataVersion232H);
    EXPECT_EQ(eeprom.record.vendorId, 0x0403);
    EXPECT_EQ(eeprom.record.productId, 0x6001);
    EXPECT_EQ(eeprom.record.maxPower, 200);
    EXPECT_EQ(eeprom.record.pnp, 1);
    EXPECT_EQ(eeprom.record.usbVersionEnable, 1);
    EXPECT_EQ(eeprom.record.usbVersion, 0x0200);
    EXPECT_EQ(eeprom.record.isFifoH, 1);
    EXPECT_EQ(blank->portCycleCount(), 1);

    // Any other read failure programs nothing and reports the failure.
    auto broken = addChip(Device232H, QStringLiteral("SYBH008010002"));
    broken->setFault(SimulatedFtdiChip::EepromReadFailure);
    EXPECT_EQ(listed(1)->programIdentity(identity).message, "Unable to read EEPROM");
    EXPECT_EQ(broken->eeprom().programCount, 0);
    EXPECT_EQ(broken->portCycleCount(), 0);
    EXPECT_FALSE(broken->isOpen());

    // A chip without a programmable EEPROM is refused, not reported as done.
    auto other = addChip(Device2232H, QStringLiteral("SYBH008010004"));
    EXPECT_EQ(listed(2)->programIdentity(identity).message, "Unsupported devices");
    EXPECT_EQ(other->portCycleCount(), 0);
    EXPECT_FALSE(other->isOpen());
}
