// The libftdi1 provider against a stand-in libftdi1 (tests/fake_libftdi1) with
// virtual chips behind it: what the USB layer sees through it, and the libftdi
// calls it makes for each vendor call.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "FtdiBackend.h"
#include "LibFtdiLibrary.h"
#include "ProtocolDoubles.h"
#include "ScriptedPeer.h"
#include "SimulatedBus.h"
#include "USBDriver.h"
#include "USBFtdiDevice.h"

using namespace Ftdi;

TEST(LibFtdiLibrary, AbsentLibraryMeansNoDevices)
{
    LibFtdiLibrary library(QStringLiteral("/nonexistent/libftdi1.so.2"));
    EXPECT_FALSE(library.isLoaded());
    std::uint32_t count = 7;
    EXPECT_NE(library.createDeviceInfoList(&count), Ok);
    EXPECT_EQ(count, 0u);
    Handle handle = reinterpret_cast<Handle>(0x10);
    EXPECT_EQ(library.open(0, &handle), DeviceNotFound);
    EXPECT_EQ(handle, nullptr);
    char byte = 0;
    std::uint32_t got = 5;
    EXPECT_EQ(library.read(reinterpret_cast<Handle>(0x10), &byte, 1, &got), InvalidHandle);
    EXPECT_EQ(got, 0u);

#ifdef __linux__
    // A library that loads but lacks libftdi's functions is not used.
    LibFtdiLibrary notLibftdi(QStringLiteral("libm.so.6"));
    EXPECT_FALSE(notLibftdi.isLoaded());
#endif
}

#ifdef FAKE_LIBFTDI1_PATH
#include <dlfcn.h>

namespace {

// The stand-in's controls, reached through its exported names.
class FakeLibftdi1
{
public:
    FakeLibftdi1() : m_module(dlopen(FAKE_LIBFTDI1_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~FakeLibftdi1()
    {
        if (m_module)
            dlclose(m_module);
    }

    bool loaded() const { return m_module != nullptr; }
    void useBus(FtdiApi *bus) { call<void (*)(FtdiApi *)>("fakeLibftdi1UseBus")(bus); }
    void setReadLimit(int bytes) { call<void (*)(int)>("fakeLibftdi1SetReadLimit")(bytes); }
    void setNewFails(bool fails) { call<void (*)(int)>("fakeLibftdi1SetNewFails")(fails); }
    int readCount() { return call<int (*)()>("fakeLibftdi1ReadCount")(); }
    int transfersAllocated() { return call<int (*)()>("fakeLibftdi1TransfersAllocated")(); }
    std::string log() { return call<const char *(*)()>("fakeLibftdi1Log")(); }
    void clearLog() { call<void (*)()>("fakeLibftdi1ClearLog")(); }

private:
    template <typename Function>
    Function call(const char *name)
    {
        void *symbol = dlsym(m_module, name);
        Function function;
        std::memcpy(&function, &symbol, sizeof function);
        return function;
    }

    void *m_module;
};

QString thrown(const std::function<void()> &f)
{
    try {
        f();
    } catch (const USBResult &result) {
        return result.message;
    }
    return QStringLiteral("nothing thrown");
}

QString ioError()
{
    return USBResult::fromFtStatus(IoError).message;
}

class LibFtdiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.loaded());
        library = std::make_shared<LibFtdiLibrary>(QStringLiteral(FAKE_LIBFTDI1_PATH));
        ASSERT_TRUE(library->isLoaded());
        bus = std::make_shared<SimulatedBus>();
        fake.useBus(bus.get());
        fake.clearLog();
        FtdiBackend::setCurrent(library);
    }

    void TearDown() override
    {
        FtdiBackend::useFtdiLibrary();
        fake.setReadLimit(0);
        fake.setNewFails(false);
        fake.useBus(nullptr);
    }

    std::shared_ptr<SimulatedFtdiChip> addChip(DeviceType type, const QString &serialNumber)
    {
        auto peer = std::make_shared<ScriptedPeer>();
        peers.push_back(peer);
        return bus->attach(std::make_shared<SimulatedFtdiChip>(type, serialNumber, QStringLiteral("Chip ") + serialNumber, peer));
    }

    std::shared_ptr<USBDevice> listed(int index)
    {
        const auto devices = USBDriver().devices(false);
        return index < devices.size() ? devices.at(index) : nullptr;
    }

    // Lists the device at `index` and opens it as the protocol would use it.
    std::shared_ptr<USBDevice> opened(int index)
    {
        auto device = listed(index);
        if (!device || !device->open(500000).isSuccess())
            return nullptr;
        device->setStreamTimeouts();
        fake.clearLog();
        return device;
    }

    // Destroyed in reverse order: the provider (closing what a test left
    // open) before the bus behind the stand-in.
    FakeLibftdi1 fake;
    std::shared_ptr<SimulatedBus> bus;
    std::vector<std::shared_ptr<ScriptedPeer>> peers;
    std::shared_ptr<LibFtdiLibrary> library;
};

TEST_F(LibFtdiTest, ListsDevicesWithTypeIdTextsAndLocation)
{
    addChip(Device232R, QStringLiteral("SYAH004010001"));
    addChip(Device232H, QStringLiteral("SYBH008010001"));
    addChip(DeviceXSeries, QStringLiteral("FT000009"));
    addChip(Device2232H, QStringLiteral("FT000006"));
    // Not under an FTDI product id libftdi looks for: not listed.
    addChip(Device232R, QStringLiteral("SYAH004010009"))->setUsbId(0x12345678);

    std::uint32_t count = 0;
    ASSERT_EQ(library->createDeviceInfoList(&count), Ok);
    ASSERT_EQ(count, 4u);
    std::vector<ListNode> nodes(count);
    ASSERT_EQ(library->getDeviceInfoList(nodes.data(), &count), Ok);
    const struct
    {
        DeviceType type;
        std::uint32_t id;
        const char *serial;
        std::uint32_t flags;
    } expected[] = {
        {Device232R, 0x04036001, "SYAH004010001", 0},
        {Device232H, 0x04036014, "SYBH008010001", FlagHighSpeed},
        {DeviceXSeries, 0x04036015, "FT000009", 0},
        {Device2232H, 0x04036010, "FT000006", FlagHighSpeed},
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(nodes[i].type, expected[i].type);
        EXPECT_EQ(nodes[i].id, expected[i].id);
        EXPECT_STREQ(nodes[i].serialNumber, expected[i].serial);
        EXPECT_EQ(QString::fromLatin1(nodes[i].description), QStringLiteral("Chip ") + expected[i].serial);
        EXPECT_EQ(nodes[i].flags, expected[i].flags);
        // Bus 3, port 2, then the port the stand-in puts the device on.
        EXPECT_EQ(nodes[i].locationId, 0x320u + i + 1);
    }

    // The layers above see the instruments among them, and an open one is
    // flagged in the next list.
    const auto instruments = USBDriver().devices(true);
    ASSERT_EQ(instruments.size(), 2);
    EXPECT_EQ(instruments[1]->serialNumber(), "SYBH008010001");
    ASSERT_TRUE(instruments[0]->open(115200).isSuccess());
    ASSERT_EQ(library->createDeviceInfoList(&count), Ok);
    ASSERT_EQ(library->getDeviceInfoList(nodes.data(), &count), Ok);
    EXPECT_EQ(nodes[0].flags, std::uint32_t(FlagOpened));
    instruments[0]->close();

    // Without USB access (libusb cannot start) there is simply no device.
    fake.setNewFails(true);
    EXPECT_EQ(library->createDeviceInfoList(&count), Ok);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(USBDriver().devices(false).isEmpty());
}

TEST_F(LibFtdiTest, OpensAUartChip)
{
    auto plain = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto handshake = addChip(Device232R, QStringLiteral("SYBH004010002"));

    auto device = listed(0);
    ASSERT_TRUE(device->open(500000).isSuccess());
    EXPECT_EQ(device->threadPriority(), int(USBFtdiDevice::InheritPriority));
    EXPECT_EQ(fake.log(),
              "ftdi_usb_find_all 0 0\n"       // enumeration
              "ftdi_usb_find_all 0 0\n"       // open by index
              "ftdi_usb_open_dev 0\n"        // sets 9600 baud itself
              "ftdi_read_eeprom\n"
              "ftdi_eeprom_decode\n"
              "ftdi_set_baudrate 500000\n"
              "ftdi_setflowctrl 0x0\n"
              "ftdi_set_line_property 8 0 2\n"
              "ftdi_set_latency_timer 2\n"
              "ftdi_read_data_set_chunksize 8192\n"
              "ftdi_write_data_set_chunksize 256\n"
              "ftdi_tcioflush\n");
    const SimulatedFtdiChip::Configuration configuration = plain->configuration();
    EXPECT_EQ(configuration.baudRate, 500000u);
    EXPECT_EQ(configuration.flowControl, FlowNone);
    EXPECT_EQ(configuration.wordLength, Bits8);
    EXPECT_EQ(configuration.stopBits, StopBits1);
    EXPECT_EQ(configuration.parity, ParityEven);
    EXPECT_EQ(configuration.latencyTimer, 2);
    EXPECT_EQ(configuration.inTransferSize, 8192u);
    EXPECT_EQ(configuration.outTransferSize, 256u);
    EXPECT_EQ(configuration.purgeMasks, PurgeRx | PurgeTx);
    EXPECT_TRUE(configuration.bitModes.isEmpty());

    // Handshake letter 'b': RTS/CTS.
    ASSERT_TRUE(listed(1)->open(500000).isSuccess());
    EXPECT_EQ(handshake->configuration().flowControl, FlowRtsCts);
}

TEST_F(LibFtdiTest, OpensAnFt232hInSynchronousFifoMode)
{
    auto chip = addChip(Device232H, QStringLiteral("SYBH008010001"));
    auto device = listed(0);
    fake.clearLog();
    ASSERT_TRUE(device->open(500000).isSuccess());
    EXPECT_EQ(device->threadPriority(), int(USBFtdiDevice::TimeCriticalPriority));
    EXPECT_TRUE(QString::fromStdString(fake.log()).endsWith("ftdi_read_eeprom\n"
                                    "ftdi_eeprom_decode\n"
                                    "ftdi_set_bitmode 0xff 0x00\n"
                                    "ftdi_set_bitmode 0xff 0x40\n"
                                    "ftdi_set_latency_timer 2\n"
                                    "ftdi_read_data_set_chunksize 65536\n"
                                    "ftdi_write_data_set_chunksize 65536\n"
                                    "ftdi_setflowctrl 0x100\n"
                                    "ftdi_tcioflush\n"))
        << fake.log();
    const SimulatedFtdiChip::Configuration configuration = chip->configuration();
    ASSERT_EQ(configuration.bitModes.size(), 2);
    EXPECT_EQ(configuration.bitModes[1], qMakePair(quint8(0xFF), quint8(BitModeSyncFifo)));
    EXPECT_EQ(configuration.flowControl, FlowRtsCts);
    // libftdi keeps each USB read within 16 KiB on Linux.
    EXPECT_EQ(configuration.inTransferSize, 16384u);
    EXPECT_EQ(configuration.outTransferSize, 65536u);
    EXPECT_EQ(configuration.baudRate, 9600u); // not set in FIFO mode
}

TEST_F(LibFtdiTest, OpeningFailuresLeaveTheChipClosed)
{
    auto badSerial = addChip(Device232R, QStringLiteral("SYCH00401"));
    auto noSerialChip = addChip(Device2232H, QStringLiteral("SYAH004010002"));
    auto blank = addChip(Device232H, QStringLiteral("SYBH008010003"));
    blank->setFault(SimulatedFtdiChip::BlankEeprom);
    auto unreadable = addChip(DeviceXSeries, QStringLiteral("SYAH004010004"));
    unreadable->setFault(SimulatedFtdiChip::EepromReadFailure);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        auto device = listed(i);
        EXPECT_EQ(device->open(500000).message, "Unknown USB serial number");
        EXPECT_FALSE(device->isOpen());
        EXPECT_FALSE(bus->chips()[i]->isOpen());
    }

    // A chip already open through another handle, and an index past the list.
    auto good = addChip(Device232R, QStringLiteral("SYAH004010005"));
    Handle first = nullptr, second = nullptr;
    ASSERT_EQ(library->open(4, &first), Ok);
    EXPECT_EQ(library->open(4, &second), DeviceNotOpened);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(library->close(first), Ok);
    EXPECT_EQ(library->close(first), InvalidHandle);
    EXPECT_EQ(library->open(5, &second), DeviceNotFound);
}

TEST_F(LibFtdiTest, ExactCountReadsAreAssembledFromShortReads)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = opened(0);
    ASSERT_TRUE(device);
    device->setDefaultTimeouts();
    // Each libftdi read gives at most 3 bytes, and the bytes arrive in parts.
    fake.setReadLimit(3);
    chip->sendToHost("abcd");
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip->sendToHost("efghi");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip->sendToHost("jkl");
    });
    EXPECT_EQ(device->read(11), "abcdefghijk");
    sender.join();
    char last = 0;
    device->read(&last, 1);
    EXPECT_EQ(last, 'l');
}

TEST_F(LibFtdiTest, AReadEndsAtItsTimeOutWithTheBytesThatCame)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = opened(0); // stream time-outs: 50 ms reads
    ASSERT_TRUE(device);
    chip->sendToHost("xyz");
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(thrown([&] { device->read(5); }), "Communication timed out");
    EXPECT_GE(timer.elapsed(), 45);
    EXPECT_LT(timer.elapsed(), 600);

    // At the vendor seam the same is a success with fewer bytes.
    Handle handle = nullptr;
    device->close();
    ASSERT_EQ(library->open(0, &handle), Ok);
    ASSERT_EQ(library->setTimeouts(handle, 30, 1000), Ok);
    chip->sendToHost("ab");
    char buffer[8] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(library->read(handle, buffer, 4, &got), Ok);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(QByteArray(buffer, 2), "ab");
    EXPECT_EQ(library->close(handle), Ok);
}

TEST_F(LibFtdiTest, QueueStatusCountsWhatHasArrived)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = opened(0);
    ASSERT_TRUE(device);
    // Each transfer brings at most 4 bytes; the queue counts them all.
    fake.setReadLimit(4);
    EXPECT_EQ(device->bytesAvailable(), 0);
    chip->sendToHost("0123456789");
    ASSERT_TRUE(eventually([&] { return device->bytesAvailable() == 10; }));
    EXPECT_EQ(device->read(4), "0123");
    EXPECT_EQ(device->status().rxQueueBytes, 6u);
    QByteArray packet("x");
    EXPECT_EQ(device->readAvailable(packet, 4), 3);
    EXPECT_EQ(packet, "x456");
    // A purge empties the host-side queue as well as the chip's, and the
    // transfers are back in flight after it.
    EXPECT_EQ(device->purge(), 0ul);
    EXPECT_EQ(device->bytesAvailable(), 0);
    EXPECT_TRUE(QString::fromStdString(fake.log()).contains("ftdi_tcioflush"));
    chip->sendToHost("rest");
    EXPECT_TRUE(eventually([&] { return device->bytesAvailable() == 4; }));
}

// One-direction purges: purging the receive side empties the host-side queue
// and the chip's receive queue; purging the transmit side keeps every received
// byte.
TEST_F(LibFtdiTest, OneDirectionPurgesTouchOnlyTheirSide)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    Handle handle = nullptr;
    ASSERT_EQ(library->open(0, &handle), Ok);
    ASSERT_EQ(library->setTimeouts(handle, 30, 1000), Ok);
    std::uint32_t queued = 0;
    const auto queuedNow = [&] {
        queued = 0;
        library->getQueueStatus(handle, &queued);
        return queued;
    };

    chip->sendToHost("0123456789");
    ASSERT_TRUE(eventually([&] { return queuedNow() == 10; }));
    ASSERT_EQ(library->purge(handle, PurgeRx), Ok);
    EXPECT_EQ(queuedNow(), 0u);
    EXPECT_EQ(chip->configuration().purgeMasks, std::uint32_t(PurgeRx));

    chip->sendToHost("abcdef");
    ASSERT_TRUE(eventually([&] { return queuedNow() == 6; }));
    ASSERT_EQ(library->purge(handle, PurgeTx), Ok);
    EXPECT_EQ(chip->configuration().purgeMasks, std::uint32_t(PurgeRx | PurgeTx));
    char buffer[8] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(library->read(handle, buffer, 6, &got), Ok);
    EXPECT_EQ(QByteArray(buffer, int(got)), "abcdef");
    EXPECT_EQ(library->close(handle), Ok);
}

// Writes while another thread waits in a read of an idle chip (transfers in
// flight, each answered after a latency-timer period of 16 ms) go out at
// once, without waiting for a transfer or the read.
TEST_F(LibFtdiTest, WritesGoOutWhileAReadWaits)
{
    addChip(Device232R, QStringLiteral("SYAH004010001"));
    Handle handle = nullptr;
    ASSERT_EQ(library->open(0, &handle), Ok);
    ASSERT_EQ(library->setTimeouts(handle, 1500, 1000), Ok);
    const int reads = fake.readCount();
    std::uint32_t got = 1;
    std::thread reader([&] {
        char byte = 0;
        library->read(handle, &byte, 1, &got);
    });
    ASSERT_TRUE(eventually([&] { return fake.readCount() > reads + 1; }));
    qint64 longest = 0;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer timer;
        timer.start();
        std::uint32_t written = 0;
        EXPECT_EQ(library->write(handle, "ping", 4, &written), Ok);
        EXPECT_EQ(written, 4u);
        longest = std::max(longest, timer.elapsed());
    }
    EXPECT_LT(longest, 25);
    reader.join();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(peers[0]->written(), QByteArray("ping").repeated(10));
    EXPECT_EQ(library->close(handle), Ok);
}

TEST_F(LibFtdiTest, AVanishedDeviceReadsAsAnIoError)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = opened(0);
    ASSERT_TRUE(device);
    chip->sendToHost("ab");
    chip->setFault(SimulatedFtdiChip::Unplugged);
    // The transfers in flight find it gone within a latency period; from
    // then on what had arrived is not handed out either.
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(eventually([&] { return thrown([&] { device->bytesAvailable(); }) == ioError(); }));
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(thrown([&] { device->read(1); }), ioError());
    EXPECT_EQ(thrown([&] { device->write("hello"); }), ioError());
    const USBDeviceStatus status = device->status();
    EXPECT_EQ(status.state, int(USBDeviceStatus::QueryFailed));
    EXPECT_EQ(status.message, ioError());
    EXPECT_EQ(device->purge(), static_cast<unsigned long>(IoError));
    EXPECT_TRUE(device->close().isSuccess());
    EXPECT_TRUE(USBDriver().devices(false).isEmpty());
}

TEST_F(LibFtdiTest, WritesGoOutInChunksAndAShortOneTimesOut)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto device = opened(0);
    ASSERT_TRUE(device);
    const QByteArray frame(600, 'w');
    EXPECT_EQ(device->write(frame), 600);
    EXPECT_EQ(fake.log(), "ftdi_write_data 256\nftdi_write_data 256\nftdi_write_data 88\n");
    EXPECT_EQ(peers[0]->written(), frame);
    device->writeByte('!');
    EXPECT_TRUE(peers[0]->written().endsWith('!'));

    // The chip takes one byte fewer than asked: the write did not complete in
    // time, which is not an I/O error.
    chip->setFault(SimulatedFtdiChip::ShortWrites);
    EXPECT_EQ(thrown([&] { device->write("abc"); }), "Communication timed out");
    EXPECT_EQ(thrown([&] { device->writeByte('x'); }), "Communication timed out");
}

TEST_F(LibFtdiTest, ProgramsTheIdentityOfEachSupportedChip)
{
    auto r = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto h = addChip(Device232H, QStringLiteral("SYBH008010001"));
    h->setFault(SimulatedFtdiChip::BlankEeprom);
    auto x = addChip(DeviceXSeries, QStringLiteral("SYAH004010003"));
    auto other = addChip(Device2232H, QStringLiteral("FT000004"));

    USBDeviceIdentity identity;
    identity.description = QStringLiteral("Veldrin");
    identity.maxPower = 250;
    identity.selfPowered = 1;
    const auto devices = USBDriver().devices(false);
    ASSERT_EQ(devices.size(), 4);
    const char *serials[] = {"SYAH004010077", "SYBH008010078", "SYAH004010079", "SYAH004010080"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        identity.serialNumber = QString::fromLatin1(serials[i]);
        fake.clearLog();
        ASSERT_TRUE(devices[i]->programIdentity(identity).isSuccess());
        EXPECT_TRUE(QString::fromStdString(fake.log()).contains(QStringLiteral("ftdi_eeprom_set_strings FTDI Veldrin ") + serials[i]))
            << fake.log();
        EXPECT_TRUE(QString::fromStdString(fake.log()).contains("ftdi_write_eeprom\nlibusb_reset_device\nftdi_usb_close\n"))
            << fake.log();
        const SimulatedFtdiChip::Eeprom eeprom = bus->chips()[i]->eeprom();
        EXPECT_EQ(eeprom.serialNumber, serials[i]);
        EXPECT_EQ(eeprom.description, "Veldrin");
        EXPECT_EQ(bus->chips()[i]->portCycleCount(), 1);
        EXPECT_FALSE(bus->chips()[i]->isOpen());
    }
    EXPECT_EQ(r->eeprom().record.maxPower, 250);
    EXPECT_EQ(r->eeprom().record.selfPowered, 1);
    EXPECT_EQ(r->eeprom().record.serNumEnableR, 1);
    EXPECT_EQ(r->eeprom().record.rIsD2XX, 1);
    // The blank FT232H started from the chip type's defaults; its interface
    // is the 245 FIFO with the D2XX driver.
    EXPECT_EQ(h->eeprom().record.isFifoH, 1);
    EXPECT_EQ(h->eeprom().record.isVCPH, 0);
    EXPECT_EQ(h->eeprom().record.vendorId, 0x0403);
    EXPECT_EQ(x->eeprom().xSeries.common.maxPower, 250);

    // The port cycle re-enumerated the chips with their new identity.
    const auto after = USBDriver().devices(false);
    ASSERT_EQ(after.size(), 4);
    EXPECT_EQ(after[0]->serialNumber(), "SYAH004010077");
    EXPECT_EQ(after[2]->serialNumber(), "SYAH004010079");

    // Nothing is programmed on a chip type without support, and the texts
    // must fit the chip's EEPROM.
    identity.serialNumber = QString::fromLatin1(serials[3]);
    EXPECT_EQ(devices[3]->programIdentity(identity).message, USBResult::fromFtStatus(NotSupported).message);
    EXPECT_EQ(other->eeprom().programCount, 0);
    identity.description = QString(60, QLatin1Char('d'));
    EXPECT_EQ(after[0]->programIdentity(identity).message, USBResult::fromFtStatus(EepromWriteFailed).message);
}

TEST_F(LibFtdiTest, PurgeAndCloseFromAnotherThreadWhileTheProtocolReads)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    for (int round = 0; round < 20; ++round) {
        auto device = opened(0);
        ASSERT_TRUE(device);
        const std::shared_ptr<USBDevice> protocolCopy = device->clone();
        std::atomic<bool> stop{false};
        std::atomic<int> failures{0};
        std::thread reader([&] {
            char buffer[64];
            while (!stop) {
                try {
                    const int n = std::min(protocolCopy->bytesAvailable(), 64);
                    if (n > 0)
                        protocolCopy->read(buffer, n);
                } catch (const USBResult &) {
                    // After the close every call on the copy fails.
                    ++failures;
                }
            }
        });
        std::thread sender([&] {
            for (int i = 0; i < 50 && !stop; ++i)
                chip->sendToHost(QByteArray(37, char(i)));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        device->purge();
        device->close();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        stop = true;
        sender.join();
        reader.join();
        EXPECT_FALSE(chip->isOpen());
        EXPECT_EQ(thrown([&] { protocolCopy->bytesAvailable(); }),
                  USBResult::fromFtStatus(InvalidHandle).message);
        // Closing cancelled and reaped every transfer before it let go.
        EXPECT_EQ(fake.transfersAllocated(), 0);
    }
}

} // namespace
#endif
