// The packet parser driven directly, one parsePackets() call per poll, on the
// calling thread (the protocol thread is never started here).
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "ByteOrder.h"
#include "ProtocolDoubles.h"
#include "ProtocolHarness.h"
#include "USBDevice.h"
#include "USBPacketProtocol.h"
#include "USBPacketStreamEvent.h"

namespace {

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

USBResult parseFailure(USBPacketProtocol &protocol)
{
    try {
        protocol.parsePackets();
    } catch (const USBResult &failure) {
        return failure;
    }
    return USBResult();
}

} // namespace

TEST(ByteOrder, LittleEndianHelpers)
{
    QByteArray bytes;
    appendUInt16LE(bytes, 0x1234);
    appendUInt32LE(bytes, 0x80FF0102u);
    appendUInt16LE(bytes, 0xFFFF);
    EXPECT_EQ(bytes, bytesOf({0x34, 0x12, 0x02, 0x01, 0xFF, 0x80, 0xFF, 0xFF}));

    EXPECT_EQ(readUInt16LE(bytes, 0), 0x1234);
    EXPECT_EQ(readUInt32LE(bytes, 2), 0x80FF0102u);
    EXPECT_EQ(readUInt16LE(bytes, 6), 0xFFFF);
    EXPECT_EQ(readUInt32LE(bytes, 4), 0xFFFF80FFu);

    // Positions whose bytes are not all inside the array read as 0.
    for (int pos : {-1, 7, 8, 100})
        EXPECT_EQ(readUInt16LE(bytes, pos), 0) << pos;
    for (int pos : {-4, 5, 8})
        EXPECT_EQ(readUInt32LE(bytes, pos), 0u) << pos;
    EXPECT_EQ(readUInt32LE(QByteArray(), 0), 0u);
}

class ProtocolParser : public ::testing::Test
{
protected:
    void SetUp() override
    {
        protocol.setDirectPacketHandler(&handler);
        protocol.setDevice(bridge.openedDevice());
    }
    void TearDown() override { protocol.setDevice({}); }

    QList<RecordingHandler::Packet> parseAll()
    {
        protocol.parsePackets();
        return handler.packets();
    }

    ProtocolHarness bridge;
    RecordingHandler handler{{0, 5, -1}};
    USBPacketProtocol protocol;
};

// Both packet forms, empty and full-length data, arriving in any cut: every
// cut yields the same packets, and a whole burst is dispatched by one call.
TEST_F(ProtocolParser, EveryCutOfAStreamYieldsTheSamePackets)
{
    const QList<QByteArray> datas = {QByteArray(), patternBytes(300, 1), patternBytes(255, 2),
                                     QByteArray(), patternBytes(5, 3)};
    const QByteArray stream = shortPacket(datas[0]) + longPacket(0, 0, datas[1])
                              + shortPacket(datas[2]) + longPacket(0, 9, datas[3])
                              + shortPacket(datas[4]);

    int delivered = 0;
    const auto expectAllDelivered = [&](const QString &cut) {
        const QList<RecordingHandler::Packet> packets = handler.packets();
        ASSERT_EQ(packets.size(), delivered + datas.size()) << qPrintable(cut);
        for (int i = 0; i < datas.size(); ++i) {
            EXPECT_EQ(packets[delivered + i].id, 0) << qPrintable(cut);
            EXPECT_EQ(packets[delivered + i].data, datas[i]) << qPrintable(cut) << " packet " << i;
        }
        EXPECT_FALSE(protocol.hasPacketInProgress()) << qPrintable(cut);
        delivered = packets.size();
    };

    bridge.sendToHost(stream);
    ASSERT_EQ(parseAll().size(), datas.size());
    expectAllDelivered("one burst");

    for (int cut = 1; cut < stream.size(); ++cut) {
        bridge.sendToHost(stream.left(cut));
        protocol.parsePackets();
        bridge.sendToHost(stream.mid(cut));
        protocol.parsePackets();
        expectAllDelivered(QStringLiteral("cut at %1").arg(cut));
    }

    for (char byte : stream) {
        bridge.sendToHost(QByteArray(1, byte));
        protocol.parsePackets();
    }
    expectAllDelivered("byte by byte");
}

// The rest of a long header is read only when all 7 bytes are there; until
// then the bytes stay in the device.
TEST_F(ProtocolParser, LongHeaderIsReadInOneAndSeven)
{
    const QByteArray data = patternBytes(20, 4);
    const QByteArray packet = longPacket(0, 0, data);

    bridge.sendToHost(packet.left(1));
    protocol.parsePackets();
    EXPECT_TRUE(protocol.hasPacketInProgress());
    for (int k = 1; k <= 6; ++k) {
        bridge.sendToHost(packet.mid(k, 1));
        protocol.parsePackets();
        EXPECT_EQ(bridge.unreadByteCount(), k);
    }
    bridge.sendToHost(packet.mid(7, 1 + 10));
    protocol.parsePackets();
    EXPECT_EQ(bridge.unreadByteCount(), 0); // header and the data so far are taken
    EXPECT_TRUE(handler.packets().isEmpty());

    bridge.sendToHost(packet.mid(18));
    ASSERT_EQ(parseAll().size(), 1);
    EXPECT_EQ(handler.packets()[0].data, data);
}

// With no reply waiting, the parser asks the device again after each packet
// and so also takes what arrived during the parse.
TEST_F(ProtocolParser, BytesArrivingDuringAParseAreDrained)
{
    int polls = 0;
    bridge.setPollHook([&](SimulatedLink &link) {
        if (++polls == 2)
            link.sendToHost(shortPacket(bytesOf({2})));
    });
    bridge.sendToHost(shortPacket(bytesOf({1})));
    ASSERT_EQ(parseAll().size(), 2);
    EXPECT_EQ(handler.packets()[1].data, bytesOf({2}));
}

// Ids other than the stream id: those the handler accepts are delivered with
// their signed value, the rest (not pending, as after a time-out) are dropped.
TEST_F(ProtocolParser, PacketIdsDecideTheConsumer)
{
    bridge.sendToHost(longPacket(77, 0, patternBytes(3, 5)) + longPacket(5, 1, bytesOf({9}))
                      + longPacket(0xFFFFFFFFu, 0, QByteArray()) + shortPacket(bytesOf({1, 2})));
    const QList<RecordingHandler::Packet> packets = parseAll();
    ASSERT_EQ(packets.size(), 3);
    EXPECT_EQ(packets[0].id, 5);
    EXPECT_EQ(packets[0].data, bytesOf({9}));
    EXPECT_EQ(packets[1].id, -1);
    EXPECT_EQ(packets[2].id, 0);
    EXPECT_EQ(protocol.storedReplyCount(), 0);
}

TEST_F(ProtocolParser, LongestPacketIsCollectedAcrossPolls)
{
    const QByteArray data = patternBytes(65535, 6);
    bridge.sendToHost(longPacket(0, 0, data) + shortPacket(bytesOf({7})));
    int polls = 0;
    while (handler.packets().size() < 2 && polls < 20) {
        protocol.parsePackets();
        ++polls;
    }
    ASSERT_EQ(handler.packets().size(), 2);
    EXPECT_GT(polls, 1); // no single poll takes more than the device hands out
    EXPECT_EQ(handler.packets()[0].data, data);
}

// A bad packet start ends the parse with the failure and an idle parser; the
// byte after it is taken as the start of the next packet.
TEST_F(ProtocolParser, CorruptedStreamResetsTheParser)
{
    for (int bad : {0x00, 0x06, 0x85, 0x87, 0xFF}) {
        const int before = handler.packets().size();
        bridge.sendToHost(shortPacket(bytesOf({1})) + bytesOf({bad}) + shortPacket(bytesOf({2})));
        const USBResult failure = parseFailure(protocol);
        EXPECT_EQ(failure.code, 2) << bad;
        EXPECT_EQ(failure.message, "Communication stream is corrupted.") << bad;
        EXPECT_FALSE(protocol.hasPacketInProgress());
        EXPECT_EQ(protocol.pendingRequestCount(), 0);
        EXPECT_EQ(protocol.storedReplyCount(), 0);
        EXPECT_EQ(handler.packets().size(), before + 1) << bad;
        EXPECT_EQ(bridge.unreadByteCount(), 3) << bad;

        const QList<RecordingHandler::Packet> packets = parseAll();
        ASSERT_EQ(packets.size(), before + 2) << bad;
        EXPECT_EQ(packets.last().data, bytesOf({2}));
    }
}

// A device failure in the middle of a packet costs that packet only.
TEST_F(ProtocolParser, ReadFailureDropsThePacketInProgress)
{
    const QByteArray torn = longPacket(0, 0, patternBytes(10, 8));
    bridge.sendToHost(torn.left(12));
    protocol.parsePackets();
    ASSERT_TRUE(protocol.hasPacketInProgress());

    bridge.failNextRead(4);
    bridge.sendToHost(shortPacket(bytesOf({3, 4})));
    const USBResult failure = parseFailure(protocol);
    EXPECT_EQ(failure.message, "Communication error");
    EXPECT_FALSE(protocol.hasPacketInProgress());

    const QList<RecordingHandler::Packet> packets = parseAll();
    ASSERT_EQ(packets.size(), 1);
    EXPECT_EQ(packets[0].data, bytesOf({3, 4}));
}

TEST(ProtocolParserDevice, ParsingWithoutDeviceFailsCleanly)
{
    USBPacketProtocol protocol;
    const USBResult failure = parseFailure(protocol);
    EXPECT_EQ(failure.code, 2);
    EXPECT_EQ(failure.message, "Invalid communication handle.");

    // A device that was closed under the protocol fails the same way as the
    // vendor library would report it, and is not read past.
    ProtocolHarness bridge;
    protocol.setDevice(bridge.openedDevice());
    bridge.sendToHost(shortPacket(bytesOf({1})));
    bridge.device()->close();
    EXPECT_EQ(parseFailure(protocol).message, "Invalid handle");
    protocol.setDevice({});
}

// Without a direct handler, stream packets become events for the receiver
// registered under their id; a receiver that is gone drops them.
TEST(ProtocolParserEvents, StreamPacketsReachRegisteredReceivers)
{
    ensureCoreApplication();
    ProtocolHarness bridge;
    USBPacketProtocol protocol;
    protocol.setDevice(bridge.openedDevice());
    EventRecorder recorder;
    auto *gone = new EventRecorder;
    protocol.setStreamReceiver(0, &recorder);
    protocol.setStreamReceiver(9, gone);
    delete gone;

    bridge.sendToHost(shortPacket(bytesOf({1, 2})) + longPacket(9, 0, bytesOf({3}))
                      + longPacket(4, 0, bytesOf({4})) + longPacket(0, 0, bytesOf({5})));
    protocol.parsePackets();
    ASSERT_TRUE(recorder.pumpUntil([&] { return recorder.records.size() >= 2; }));
    ASSERT_EQ(recorder.records.size(), 2);
    for (const EventRecorder::Record &r : recorder.records) {
        EXPECT_EQ(r.type, 1001);
        EXPECT_EQ(r.id, 0);
        EXPECT_TRUE(r.result.isSuccess());
    }
    EXPECT_EQ(recorder.records[0].data, bytesOf({1, 2}));
    EXPECT_EQ(recorder.records[1].data, bytesOf({5}));

    protocol.removeStreamReceiver(0);
    bridge.sendToHost(shortPacket(bytesOf({6})));
    protocol.parsePackets();
    QCoreApplication::sendPostedEvents(&recorder);
    EXPECT_EQ(recorder.records.size(), 2);
    protocol.setDevice({});
}
