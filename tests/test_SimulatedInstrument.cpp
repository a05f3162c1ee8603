// The boot firmware shared by both virtual instrument generations, and the way
// an instrument reads what the host writes.
#include <gtest/gtest.h>

#include <QSet>

#include <thread>
#include <vector>

#include "InstrumentWire.h"
#include "SimulatedInstrumentI.h"
#include "SimulatedInstrumentII.h"

using namespace instrumentwire;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray readPage(SimulatedInstrument &instrument, CollectingLink &link)
{
    const QVector<Packet> reply = exchange(instrument, link, 300, 0x12);
    return reply.size() == 1 ? reply.first().data : QByteArray();
}

QByteArray text(const QByteArray &page, int offset, int width)
{
    return page.mid(offset, width);
}

} // namespace

TEST(SimulatedBootFirmware, AnswersEveryFramedActionWithItsReplySize)
{
    SimulatedInstrumentII instrument;
    CollectingLink link;

    instrument.hostWrote(hex("056500000014 0000"), link);
    EXPECT_EQ(link.take(), hex("0565000000 00 0200 0080"));
    instrument.hostWrote(hex("056600000015 0000"), link);
    EXPECT_EQ(link.take(), hex("0566000000 00 0000"));

    for (quint8 action : {0x10, 0x11, 0x13, 0x16, 0x17, 0x18}) {
        const QVector<Packet> reply = exchange(instrument, link, 0xA1B2C3D4, action);
        ASSERT_EQ(reply.size(), 1) << int(action);
        EXPECT_EQ(reply[0].id, 0xA1B2C3D4u);
        EXPECT_EQ(reply[0].status, 0);
        EXPECT_TRUE(reply[0].data.isEmpty());
    }

    const QVector<Packet> page = exchange(instrument, link, 7, 0x12);
    ASSERT_EQ(page.size(), 1);
    EXPECT_EQ(page[0].status, 0);
    ASSERT_EQ(page[0].data.size(), 130);
    EXPECT_EQ(page[0].data.right(2), hex("FFFF"));
}

TEST(SimulatedBootFirmware, InformationPageLayouts)
{
    SimulatedInstrumentII instrument(QStringLiteral("SYBH008010042"), 3);
    CollectingLink link;
    QByteArray page = readPage(instrument, link).left(128);
    ASSERT_EQ(page.size(), 128);
    EXPECT_EQ(page.left(4), hex("3572D102"));
    EXPECT_EQ(text(page, 4, 27), QByteArray("Veldrin II measurement unit"));
    EXPECT_EQ(text(page, 31, 13), QByteArray(13, '\0'));
    EXPECT_EQ(text(page, 44, 16), QByteArray("SYBH008010042\0\0\0", 16));
    // Model 8, revision 1, firmware 3 and build 7, then the boot words.
    EXPECT_EQ(page.mid(60, 16), hex("0008 0001 0003 0007 0002 0080 0010 01E0"));
    EXPECT_EQ(page.mid(76), QByteArray(52, char(0xFF)));

    SimulatedInformationPage custom = instrument.informationPage();
    custom.setLayout(1);
    custom.setFirmwareVersion(0x1234);
    custom.setLabel(QString(45, QLatin1Char('L')));          // cut to the field
    custom.setSerialNumber(QStringLiteral("SYAH0040100019999"));
    instrument.setInformationPage(custom);
    page = readPage(instrument, link).left(128);
    EXPECT_EQ(quint8(page.at(3)), 1);
    EXPECT_EQ(text(page, 4, 40), QByteArray(40, 'L'));
    EXPECT_EQ(text(page, 44, 16), QByteArray("SYAH004010001999"));
    EXPECT_EQ(page.mid(64, 2), hex("1234"));
    EXPECT_EQ(page.mid(74, 2), hex("FFFF"));    // word 74 exists only in layout 2
}

TEST(SimulatedBootFirmware, PageFaults)
{
    SimulatedInstrumentI instrument;
    CollectingLink link;

    SimulatedInformationPage page = instrument.informationPage();
    page.setMarker(hex("D17235"));
    page.setSize(99);
    instrument.setInformationPage(page);
    instrument.setPageIntact(false);

    EXPECT_EQ(exchange(instrument, link, 1, 0x14).value(0).data, hex("0063"));
    const QByteArray reply = readPage(instrument, link);
    ASSERT_EQ(reply.size(), 101);
    EXPECT_EQ(reply.left(3), hex("D17235"));
    EXPECT_EQ(reply.right(2), hex("FF00"));

    // A page cut shorter than its fields loses them, and the reply still
    // carries exactly the announced size plus the trailer.
    page.setSize(50);
    instrument.setInformationPage(page);
    instrument.setPageIntact(true);
    EXPECT_EQ(exchange(instrument, link, 2, 0x14).value(0).data, hex("0032"));
    EXPECT_EQ(readPage(instrument, link).size(), 52);
}

TEST(SimulatedBootFirmware, StatusAndSilenceFaults)
{
    SimulatedInstrumentII instrument;
    CollectingLink link;
    for (quint8 status : {SimulatedInstrument::StatusBusy, SimulatedInstrument::StatusNotRecognised}) {
        instrument.setBootStatus(status);
        for (quint8 action = 0x10; action <= 0x18; ++action) {
            const QVector<Packet> reply = exchange(instrument, link, 9, action);
            ASSERT_EQ(reply.size(), 1);
            EXPECT_EQ(reply[0].status, status);
            EXPECT_TRUE(reply[0].data.isEmpty());
        }
    }
    instrument.setBootStatus(0);

    instrument.setReplying(false);
    instrument.hostWrote(request(1, 0x14) + request(2, 0x12), link);
    instrument.hostWrote(hex("03"), link);      // raw actions still act
    instrument.hostWrote(request(3, 0x40), link);
    EXPECT_TRUE(link.take().isEmpty());
    EXPECT_EQ(instrument.mode(), SimulatedInstrument::Mode::Application);
    instrument.setReplying(true);
    EXPECT_EQ(exchange(instrument, link, 4, 0x40).value(0).data.size(), 13);
}

TEST(SimulatedBootFirmware, StartStepAndPortCycle)
{
    SimulatedInstrumentII instrument;
    CollectingLink link;

    // Application instructions are unknown to the boot firmware.
    QVector<Packet> reply = exchange(instrument, link, 5, 69);
    ASSERT_EQ(reply.size(), 1);
    EXPECT_EQ(reply[0].status, 1);
    EXPECT_TRUE(reply[0].data.isEmpty());

    // The other raw actions are accepted without effect or answer.
    instrument.hostWrote(hex("02040806"), link);
    EXPECT_TRUE(link.take().isEmpty());
    EXPECT_EQ(instrument.mode(), SimulatedInstrument::Mode::Boot);

    instrument.hostWrote(hex("03"), link);
    EXPECT_TRUE(link.take().isEmpty());
    EXPECT_EQ(instrument.mode(), SimulatedInstrument::Mode::Application);
    EXPECT_EQ(exchange(instrument, link, 6, 38, hex("00D007E8030000")).value(0).status, 0);
    EXPECT_EQ(exchange(instrument, link, 7, 70).value(0).data, hex("00D007E8030000"));
    // The page stays readable after the start step.
    EXPECT_EQ(exchange(instrument, link, 8, 0x14).value(0).data, hex("0080"));

    // Replugging restarts the boot firmware with the outputs at power-on.
    instrument.portCycled();
    EXPECT_EQ(instrument.mode(), SimulatedInstrument::Mode::Boot);
    EXPECT_EQ(exchange(instrument, link, 9, 70).value(0).status, 1);
    instrument.hostWrote(hex("03"), link);
    EXPECT_EQ(exchange(instrument, link, 10, 70).value(0).data, hex("01F4012003D4FE"));

    QVector<int> raw;
    for (const SimulatedInstrument::HostRequest &r : instrument.hostRequests()) {
        if (r.raw)
            raw.append(r.command);
    }
    EXPECT_EQ(raw, (QVector<int>{2, 4, 8, 6, 3, 3}));
}

TEST(SimulatedBootFirmware, ReadsRequestsAcrossAndWithinWrites)
{
    SimulatedInstrumentII instrument;
    CollectingLink link;
    instrument.hostWrote(hex("03"), link);

    // A DAC payload full of bytes that look like request starts and raw
    // actions, written one byte at a time.
    const QByteArray dac = hex("0305030503 0503");
    const QByteArray bytes = request(0x01020304, 37, dac);
    for (int i = 0; i < bytes.size(); ++i) {
        EXPECT_TRUE(link.take().isEmpty()) << i;
        instrument.hostWrote(bytes.mid(i, 1), link);
    }
    QVector<Packet> replies = readPackets(link.take());
    ASSERT_EQ(replies.size(), 1);
    EXPECT_EQ(replies[0].id, 0x01020304u);
    EXPECT_EQ(replies[0].status, 0);

    // Noise, three requests and a raw action in one write, then a request
    // split after its header.
    const QByteArray burst = hex("FF00") + request(11, 69) + request(12, 0x14) + hex("06")
                             + request(13, 72) + request(14, 37, hex("0001"))
                             + request(15, 37, hex("00D007E8030000")).left(8);
    instrument.hostWrote(burst, link);
    instrument.hostWrote(QByteArray(), link);
    int leftover = -1;
    replies = readPackets(link.take(), &leftover);
    EXPECT_EQ(leftover, 0);
    ASSERT_EQ(replies.size(), 4);
    EXPECT_EQ(replies[0].id, 11u);
    EXPECT_EQ(replies[0].data, dac);
    EXPECT_EQ(replies[1].data, hex("0080"));
    EXPECT_EQ(replies[2].data.size(), 150);
    EXPECT_EQ(replies[3].status, SimulatedInstrument::StatusBadLength);
    EXPECT_EQ(instrument.skippedBytes(), 2);

    // Opening the chip again drops a request cut short in the last session.
    instrument.opened();
    instrument.hostWrote(request(16, 0x14), link);
    replies = readPackets(link.take());
    ASSERT_EQ(replies.size(), 1);
    EXPECT_EQ(replies[0].id, 16u);
}

TEST(SimulatedBootFirmware, WritersOnSeveralThreadsGetWholeReplies)
{
    SimulatedInstrumentII instrument;
    CollectingLink link;
    instrument.hostWrote(hex("03"), link);
    const int threads = 4;
    const int perThread = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&instrument, &link, t] {
            for (int i = 0; i < perThread; ++i) {
                const quint32 id = quint32(1000 * (t + 1) + i);
                instrument.hostWrote(request(id, i % 2 ? 0x12 : 69), link);
            }
        });
    }
    writers.emplace_back([&instrument] {
        for (int i = 0; i < 200; ++i)
            instrument.setBootStatus(0);
    });
    for (std::thread &writer : writers)
        writer.join();

    int leftover = -1;
    const QVector<Packet> replies = readPackets(link.take(), &leftover);
    EXPECT_EQ(leftover, 0);
    ASSERT_EQ(replies.size(), threads * perThread);
    QSet<quint32> ids;
    for (const Packet &p : replies) {
        ids.insert(p.id);
        EXPECT_EQ(p.data.size(), (p.id % 1000) % 2 ? 130 : 7);
    }
    EXPECT_EQ(ids.size(), threads * perThread);
}
