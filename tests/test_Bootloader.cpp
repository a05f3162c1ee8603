#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringList>
#include <memory>

#include "Bootloader.h"
#include "FakeProtocol.h"
#include "FakeUSBDevice.h"
#include "USBDriver.h"

namespace {

using Answer = FakeProtocol::Answer;

// A recognised layout 1 page with serial number "SYAH00401" and version (3, 1).
QByteArray informationPage(int size = 256)
{
    QByteArray page(size, '\0');
    page.replace(0, 4, QByteArray("\x35\x72\xD1\x01", 4));
    page.replace(4, 7, "Veldrin");
    page.replace(44, 9, "SYAH00401");
    page[65] = 3;
    page[67] = 1;
    return page;
}

QByteArray bigEndian16(int value)
{
    QByteArray bytes(2, '\0');
    bytes[0] = char(value >> 8);
    bytes[1] = char(value & 0xFF);
    return bytes;
}

class BootloaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device->onPurge = [this] { protocol->events << QStringLiteral("purge"); };
        device->setVersionPair(qMakePair(9, 9));
        previous.valid = true;
        previous.recognised = 1;
        previous.serialNumber = QStringLiteral("SYAP00801");
        previous.versionPair = qMakePair(5, 2);
    }

    void openDevice() { ASSERT_TRUE(driver.open(device, 500000).isSuccess()); }

    // Scripts a whole successful read of the given page.
    void answerPageRead(const QByteArray &page, quint8 sizeStatus = 0)
    {
        protocol->answers << Answer::reply(sizeStatus, bigEndian16(page.size())) << Answer::reply(0)
                          << Answer::reply(0, page + "\xFF\xFF");
    }

    std::shared_ptr<FakeProtocol> protocol = std::make_shared<FakeProtocol>();
    std::shared_ptr<FakeUSBDevice> device = std::make_shared<FakeUSBDevice>();
    USBDriver driver{protocol};
    Bootloader bootloader{false};
    DeviceInfo previous;
};

} // namespace

TEST_F(BootloaderTest, StartStepWritesOneRawByte)
{
    USBResult result = bootloader.runStartStep(driver);
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.message, "No device is open");
    EXPECT_TRUE(protocol->sent.isEmpty());

    openDevice();
    result = bootloader.runStartStep(driver);
    EXPECT_TRUE(result.isSuccess());
    ASSERT_EQ(protocol->sent.size(), 1);
    EXPECT_EQ(protocol->sent[0].command, 0x03);
    EXPECT_TRUE(protocol->sent[0].raw);
    EXPECT_EQ(device->purgeCount, 0);

    protocol->rawWriteResult = USBResult(QStringLiteral("Unable to write"), 2);
    result = bootloader.runStartStep(driver);
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.message, "Unable to write");
}

TEST_F(BootloaderTest, ReadsThePageInOrderAndStoresTheVersion)
{
    openDevice();
    answerPageRead(informationPage(256), 91); // 91 and 92 are accepted like 0

    DeviceInfo info = previous;
    const USBResult result = bootloader.readDeviceInfo(driver, info);
    ASSERT_TRUE(result.isSuccess()) << result.message.toStdString();

    EXPECT_EQ(protocol->events,
              QStringList({"purge", "request 0x14", "request 0x15", "request 0x12"}));
    ASSERT_EQ(protocol->sent.size(), 3);
    EXPECT_EQ(protocol->sent[2].expectedReplySize, 258); // page size 01 00 plus the end bytes

    EXPECT_EQ(info, DeviceInfo::fromPage(informationPage(256)));
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(device->versionPair(), qMakePair(3, 1));
}

TEST_F(BootloaderTest, EachFailureEndsTheReadWithItsResult)
{
    DeviceInfo info = previous;
    EXPECT_EQ(bootloader.readDeviceInfo(driver, info).message, "No device is open");
    EXPECT_EQ(info, previous);
    EXPECT_TRUE(protocol->events.isEmpty());

    const QByteArray page = informationPage(256);
    const QByteArray intact = page + "\xFF\xFF";
    struct Case
    {
        QList<Answer> answers;
        int sentCount;
        const char *message;
    };
    const Case cases[] = {
        {{Answer::reply(1)}, 1, "Instruction was not recognised by target device"},
        {{Answer::reply(100)}, 1, "Instruction stream was corrupted (unexpected return value [100])"},
        {{Answer::reply(0, "\x01")}, 1, "Unexpected packet length."},
        {{Answer::failure("Communication timed out")}, 1, "Communication timed out"},
        {{Answer::reply(0, bigEndian16(256)), Answer::reply(2)}, 2, "Target device is busy"},
        {{Answer::reply(0, bigEndian16(256)), Answer::failure("Unable to write")}, 2, "Unable to write"},
        {{Answer::reply(0, bigEndian16(256)), Answer::reply(0), Answer::reply(0, page)}, 3,
         "Unexpected packet length."},
        {{Answer::reply(0, bigEndian16(256)), Answer::reply(0), Answer::reply(7, intact)}, 3,
         "Instruction stream was corrupted (unexpected return value [7])"},
        // The page arrives whole but without its two 0xFF end bytes.
        {{Answer::reply(0, bigEndian16(256)), Answer::reply(0), Answer::reply(0, page + QByteArray("\xFF\x00", 2))},
         3, "Data from device is corrupt"},
        {{Answer::reply(0, bigEndian16(256)), Answer::reply(0), Answer::reply(0, page + "\xFE\xFF")}, 3,
         "Data from device is corrupt"},
        // A page size of zero leaves nothing to decode.
        {{Answer::reply(0, bigEndian16(0)), Answer::reply(0), Answer::reply(0, "\xFF\xFF")}, 3,
         "Data from device is corrupt"},
    };
    openDevice();
    for (const Case &c : cases) {
        protocol->sent.clear();
        protocol->answers = c.answers;
        // Extra answers show that nothing is sent after the failure.
        protocol->answers << Answer::reply(0) << Answer::reply(0);
        info = previous;
        const USBResult result = bootloader.readDeviceInfo(driver, info);
        EXPECT_EQ(result.code, 2) << c.message;
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(protocol->sent.size(), c.sentCount) << c.message;
        EXPECT_EQ(info, previous) << c.message;
        EXPECT_EQ(device->versionPair(), qMakePair(9, 9)) << c.message;
    }
}

TEST_F(BootloaderTest, UnrecognisedPageIsNotAFailure)
{
    openDevice();
    // Marker and layout are right but the page is one byte short of a record.
    answerPageRead(informationPage(99));
    DeviceInfo info = previous;
    const USBResult result = bootloader.readDeviceInfo(driver, info);
    EXPECT_TRUE(result.isSuccess());
    EXPECT_EQ(info, DeviceInfo());
    EXPECT_FALSE(info.valid);
    EXPECT_EQ(device->versionPair(), qMakePair(0, 0));
}
