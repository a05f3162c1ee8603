#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>

#include "SimulatedBusTest.h"
#include "USBFtdiDevice.h"

using namespace Ftdi;

namespace {

// A protocol that records what the driver asks of it, together with whether
// the watched chip was open at that moment.
class RecordingProtocol : public USBIProtocol
{
public:
    void setPollInterval(unsigned long) override {}
    bool waitForFinished() override
    {
        note(QStringLiteral("waitForFinished"));
        return true;
    }
    USBResult sendRequest(std::shared_ptr<USBICommRequest> request) override
    {
        note(QStringLiteral("sendRequest %1").arg(request ? request->id() : -1));
        return USBResult(QStringLiteral("from the protocol"), 2);
    }
    void postRequest(std::shared_ptr<USBICommRequest> request, QObject *receiver) override
    {
        note(QStringLiteral("postRequest %1").arg(request ? request->id() : -1));
        lastReceiver = receiver;
    }
    void setDevice(std::shared_ptr<USBDevice> device) override
    {
        note(device ? QStringLiteral("setDevice") : QStringLiteral("setDevice none"));
        attached = device;
    }
    void clearRequests() override { note(QStringLiteral("clearRequests")); }
    bool isQueueEmpty() override { return queueEmpty; }

    void note(const QString &call)
    {
        calls.append(watched && watched->isOpen() ? call + QStringLiteral(" [chip open]") : call);
    }

    QStringList calls;
    std::shared_ptr<SimulatedFtdiChip> watched;
    std::shared_ptr<USBDevice> attached;
    QObject *lastReceiver = nullptr;
    bool queueEmpty = false;
};

class Request : public USBICommRequest
{
public:
    bool isRawRequest() const override { return false; }
    quint8 command() const override { return 1; }
    QByteArray payload() const override { return {}; }
    void setReceivedData(const QByteArray &) override {}
    QByteArray receivedData() const override { return {}; }
    USBResult resultForStatus(quint8) const override { return {}; }
    int expectedReplySize() const override { return 0; }
    int id() const override { return m_id; }

private:
    int m_id = takeNextId();
};

class USBDriverTest : public SimulatedBusTest
{
protected:
    void SetUp() override
    {
        SimulatedBusTest::SetUp();
        protocol = std::make_shared<RecordingProtocol>();
        driver = std::make_unique<USBDriver>(protocol);
    }

    QStringList serials(const QVector<std::shared_ptr<USBDevice>> &devices)
    {
        QStringList list;
        for (const auto &device : devices)
            list.append(device->serialNumber());
        return list;
    }

    std::shared_ptr<RecordingProtocol> protocol;
    std::unique_ptr<USBDriver> driver;
};

} // namespace

TEST_F(USBDriverTest, ListsBridgesInBusOrderAndFiltersInstruments)
{
    EXPECT_TRUE(driver->devices(false).isEmpty());

    addChip(Device232R, QStringLiteral("FT000001"), QStringLiteral("FT232R USB UART"));
    addChip(Device232R, QStringLiteral("SYAH004010001"), QStringLiteral("Veldrin I"));
    addChip(Device232H, QStringLiteral("syBH008010002"));
    auto unplugged = addChip(Device232R, QStringLiteral("SYAH004010009"));
    addChip(DeviceXSeries, QStringLiteral("SYBH008010003"));
    unplugged->setFault(SimulatedFtdiChip::Unplugged);

    const auto all = driver->devices(false);
    EXPECT_EQ(serials(all), (QStringList{"FT000001", "SYAH004010001", "syBH008010002", "SYBH008010003"}));
    for (int i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]->index(), i);
        EXPECT_FALSE(all[i]->isOpen());
        EXPECT_EQ(all[i]->threadPriority(), USBFtdiDevice::InheritPriority);
    }
    EXPECT_EQ(all[0]->description(), "FT232R USB UART");
    EXPECT_EQ(all[0]->usbId(), 0x04036001u);
    EXPECT_EQ(all[2]->usbId(), 0x04036014u);

    // The prefix test is case-sensitive; the index stays the list position.
    const auto instruments = driver->devices(true);
    EXPECT_EQ(serials(instruments), (QStringList{"SYAH004010001", "SYBH008010003"}));
    EXPECT_EQ(instruments[1]->index(), 3);
    EXPECT_NE(instruments[0], all[1]); // new objects each time
}

TEST_F(USBDriverTest, OneOpenDevicePerDriver)
{
    auto first = addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto second = addChip(Device232R, QStringLiteral("SYAH004010002"));
    const auto devices = driver->devices(true);
    protocol->watched = first;

    EXPECT_FALSE(driver->isOpen());
    EXPECT_TRUE(driver->open(devices[0], 500000).isSuccess());
    EXPECT_TRUE(driver->isOpen());
    EXPECT_EQ(driver->device(), devices[0]);
    EXPECT_EQ(protocol->attached, devices[0]);
    EXPECT_EQ(protocol->calls, QStringList{"setDevice [chip open]"});

    const USBResult refused = driver->open(devices[1], 500000);
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.message, "Another device is already open");
    EXPECT_FALSE(second->isOpen());
    EXPECT_EQ(driver->device(), devices[0]);

    // The rule is per driver: another driver may hold the other device.
    USBDriver other(std::make_shared<RecordingProtocol>());
    EXPECT_TRUE(other.open(devices[1], 500000).isSuccess());
    EXPECT_TRUE(first->isOpen());
    EXPECT_TRUE(second->isOpen());

    const int purges = first->configuration().purgeCount;
    driver->purge();
    EXPECT_EQ(first->configuration().purgeCount, purges + 1);
}

TEST_F(USBDriverTest, FailedOpenLeavesTheDriverClosed)
{
    auto bad = addChip(Device232R, QStringLiteral("SYAH004010001"));
    bad->setEepromIdentity(QStringLiteral("SYAX00401"), QStringLiteral("x"));
    addChip(Device232R, QStringLiteral("SYAH004010002"));
    const auto devices = driver->devices(true);

    EXPECT_EQ(driver->open(devices[0], 500000).message, "Unknown USB serial number");
    EXPECT_FALSE(driver->isOpen());
    EXPECT_TRUE(protocol->calls.isEmpty());
    EXPECT_TRUE(driver->open(devices[1], 500000).isSuccess());
}

TEST_F(USBDriverTest, DriverWithoutProtocolOpensNothing)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    USBDriver enumerator;
    const auto devices = enumerator.devices(true);
    ASSERT_EQ(devices.size(), 1);

    EXPECT_FALSE(enumerator.open(devices[0], 500000).isSuccess());
    EXPECT_FALSE(enumerator.isOpen());
    EXPECT_FALSE(devices[0]->isOpen());
    EXPECT_FALSE(chip->isOpen()) << "the vendor handle must not stay open";
}

TEST_F(USBDriverTest, RequestsNeedAnOpenDevice)
{
    addChip(Device232R, QStringLiteral("SYAH004010001"));
    auto request = std::make_shared<Request>();
    QObject receiver;

    EXPECT_EQ(driver->request(request).message, "No device is open");
    EXPECT_EQ(driver->submit(request, &receiver).message, "No device is open");
    EXPECT_TRUE(driver->isQueueEmpty());
    EXPECT_TRUE(protocol->calls.isEmpty());

    ASSERT_TRUE(driver->open(driver->devices(true)[0], 500000).isSuccess());
    protocol->calls.clear();
    EXPECT_EQ(driver->request(request).message, "from the protocol");
    const USBResult submitted = driver->submit(request, &receiver);
    EXPECT_TRUE(submitted.isSuccess());
    EXPECT_EQ(protocol->lastReceiver, &receiver);
    const QString id = QString::number(request->id());
    EXPECT_EQ(protocol->calls, (QStringList{"sendRequest " + id, "postRequest " + id}));
    EXPECT_FALSE(driver->isQueueEmpty());
    protocol->queueEmpty = true;
    EXPECT_TRUE(driver->isQueueEmpty());
}

TEST_F(USBDriverTest, CloseDetachesBeforeClosingAndWaitsLast)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    protocol->watched = chip;
    ASSERT_TRUE(driver->open(driver->devices(true)[0], 500000).isSuccess());
    protocol->calls.clear();

    driver->close();
    EXPECT_EQ(protocol->calls,
              (QStringList{"clearRequests [chip open]", "setDevice none [chip open]", "waitForFinished"}));
    EXPECT_FALSE(chip->isOpen());
    EXPECT_FALSE(driver->isOpen());
    EXPECT_EQ(driver->device(), nullptr);

    protocol->calls.clear();
    driver->close();
    driver->purge();
    EXPECT_TRUE(protocol->calls.isEmpty());

    // Destroying a driver closes its device the same way.
    ASSERT_TRUE(driver->open(driver->devices(true)[0], 500000).isSuccess());
    protocol->calls.clear();
    driver.reset();
    EXPECT_EQ(protocol->calls,
              (QStringList{"clearRequests [chip open]", "setDevice none [chip open]", "waitForFinished"}));
    EXPECT_FALSE(chip->isOpen());
}

TEST_F(USBDriverTest, DevicesListedWhileOneIsOpenStartClosed)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    ASSERT_TRUE(driver->open(driver->devices(true)[0], 500000).isSuccess());

    // The list reports this process's handle for the open chip; a new device
    // object must not take it over.
    const auto again = USBDriver().devices(true);
    ASSERT_EQ(again.size(), 1);
    EXPECT_FALSE(again[0]->isOpen());
    USBDriver second(std::make_shared<RecordingProtocol>());
    EXPECT_EQ(second.open(again[0], 500000).message, "Device not opened");

    driver->close();
    EXPECT_TRUE(second.open(again[0], 500000).isSuccess());
    EXPECT_TRUE(chip->isOpen());
}

TEST_F(USBDriverTest, DevicesKeepTheProviderTheyWereListedBy)
{
    auto chip = addChip(Device232R, QStringLiteral("SYAH004010001"));
    const auto devices = driver->devices(true);

    auto otherBus = std::make_shared<SimulatedBus>();
    auto otherChip = otherBus->attach(
        std::make_shared<SimulatedFtdiChip>(Device232R, QStringLiteral("SYAH004010002"), QStringLiteral("x")));
    FtdiBackend::setCurrent(otherBus);

    ASSERT_TRUE(driver->open(devices[0], 500000).isSuccess());
    EXPECT_TRUE(chip->isOpen());
    EXPECT_FALSE(otherChip->isOpen());
    EXPECT_EQ(serials(driver->devices(true)), QStringList{"SYAH004010002"});
}
