#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <thread>

#include "SimulatedBusTest.h"
#include "SimulatedClock.h"

using namespace Ftdi;

namespace {

class SimulatedBusCalls : public SimulatedBusTest
{
protected:
    Handle openChip(int index)
    {
        Handle handle = nullptr;
        EXPECT_EQ(bus->open(index, &handle), Ok);
        return handle;
    }

    QByteArray readBytes(Handle handle, std::uint32_t count, Status expected = Ok)
    {
        QByteArray bytes(static_cast<int>(count), '\0');
        std::uint32_t got = 99;
        EXPECT_EQ(bus->read(handle, bytes.data(), count, &got), expected);
        bytes.truncate(static_cast<int>(got));
        return bytes;
    }

    QStringList listedSerials()
    {
        std::uint32_t count = 0;
        EXPECT_EQ(bus->createDeviceInfoList(&count), Ok);
        std::vector<ListNode> nodes(count);
        EXPECT_EQ(bus->getDeviceInfoList(nodes.data(), &count), Ok);
        QStringList serials;
        for (const ListNode &node : nodes)
            serials.append(QString::fromLatin1(node.serialNumber));
        return serials;
    }
};

} // namespace

TEST_F(SimulatedBusCalls, TheDeviceListIsASnapshot)
{
    addChip(Device232R, QStringLiteral("A1"));
    std::uint32_t count = 0;
    ASSERT_EQ(bus->createDeviceInfoList(&count), Ok);
    EXPECT_EQ(count, 1u);
    addChip(Device232H, QStringLiteral("B2"));

    ListNode nodes[2] = {};
    std::uint32_t copied = 2;
    ASSERT_EQ(bus->getDeviceInfoList(nodes, &copied), Ok);
    EXPECT_EQ(copied, 1u);
    EXPECT_STREQ(nodes[0].serialNumber, "A1");
    EXPECT_EQ(nodes[0].flags, 0u);
    EXPECT_EQ(nodes[0].handle, nullptr);

    Handle handle = openChip(1); // opening counts the chips attached now
    EXPECT_EQ(listedSerials(), (QStringList{"A1", "B2"}));
    copied = 0;
    ASSERT_EQ(bus->getDeviceInfoList(nodes, &copied), Ok);
    EXPECT_EQ(nodes[1].flags, FlagOpened | FlagHighSpeed);
    EXPECT_EQ(nodes[1].handle, handle);
    EXPECT_EQ(bus->deviceListCount(), 2);
}

TEST_F(SimulatedBusCalls, HandlesAreCheckedAndChipsOpenOnce)
{
    addChip(Device232R, QStringLiteral("A1"));
    Handle handle = nullptr;
    EXPECT_EQ(bus->open(1, &handle), DeviceNotFound);
    EXPECT_EQ(handle, nullptr);
    handle = openChip(0);
    Handle second = nullptr;
    EXPECT_EQ(bus->open(0, &second), DeviceNotOpened);

    std::uint32_t queued = 0;
    EXPECT_EQ(bus->getQueueStatus(nullptr, &queued), InvalidHandle);
    EXPECT_EQ(bus->purge(reinterpret_cast<Handle>(0x1234), 3), InvalidHandle);
    EXPECT_EQ(bus->close(handle), Ok);
    EXPECT_EQ(bus->close(handle), InvalidHandle);
    EXPECT_EQ(bus->setBaudRate(handle, 9600), InvalidHandle);
}

TEST_F(SimulatedBusCalls, ReadsWaitForDataUpToTheReadTimeout)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    Handle handle = openChip(0);
    ASSERT_EQ(bus->setTimeouts(handle, 5000, 1000), Ok);

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip->sendToHost("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip->sendToHost("defg");
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(readBytes(handle, 6), "abcdef");
    EXPECT_LT(timer.elapsed(), 4000); // woken by the data, not by the time-out
    sender.join();
    EXPECT_EQ(chip->receiveQueueSize(), 1);

    // A time-out is a success with fewer bytes.
    ASSERT_EQ(bus->setTimeouts(handle, 80, 1000), Ok);
    timer.restart();
    EXPECT_EQ(readBytes(handle, 4), "g");
    EXPECT_GE(timer.elapsed(), 70);
}

TEST_F(SimulatedBusCalls, UnpluggingFailsEveryCallAndWakesAWaitingRead)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    addChip(Device232R, QStringLiteral("B2"));
    Handle handle = openChip(0);
    ASSERT_EQ(bus->setTimeouts(handle, 10000, 1000), Ok);

    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        chip->setFault(SimulatedFtdiChip::Unplugged);
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(readBytes(handle, 1, IoError), "");
    EXPECT_LT(timer.elapsed(), 5000);
    unplugger.join();

    std::uint32_t written = 0;
    EXPECT_EQ(bus->write(handle, "x", 1, &written), IoError);
    EXPECT_EQ(bus->purge(handle, 3), IoError);
    EXPECT_EQ(bus->setLatencyTimer(handle, 2), IoError);
    EXPECT_EQ(listedSerials(), QStringList{"B2"});

    // Plugged in again it is a fresh device: the old handle stays dead.
    chip->setFault(SimulatedFtdiChip::Unplugged, false);
    EXPECT_EQ(bus->purge(handle, 3), IoError);
    EXPECT_EQ(bus->close(handle), Ok);
    Handle fresh = openChip(0);
    EXPECT_EQ(bus->purge(fresh, 3), Ok);
    EXPECT_EQ(peer(0).openedCount(), 2);
    EXPECT_EQ(peer(0).closedCount(), 0); // the unplug ended the first opening
}

TEST_F(SimulatedBusCalls, EepromRecordsAreValidated)
{
    addChip(Device232R, QStringLiteral("A1"));
    addChip(DeviceXSeries, QStringLiteral("X1"));
    Handle r = openChip(0);
    Handle x = openChip(1);
    char texts[4][TextBufferSize] = {};

    ProgramDataBuffer buffer = {};
    buffer.data.signature2 = ProgramDataSignature2;
    buffer.data.version = 1; // too old for an FT232R
    EXPECT_EQ(bus->eeRead(r, &buffer.data), InvalidParameter);
    buffer.data.version = 2;
    buffer.data.signature2 = 0;
    EXPECT_EQ(bus->eeRead(r, &buffer.data), InvalidParameter);
    buffer.data.signature2 = ProgramDataSignature2;
    buffer.data.serialNumber = texts[3];
    EXPECT_EQ(bus->eeRead(r, &buffer.data), Ok);
    EXPECT_STREQ(texts[3], "A1");
    EXPECT_EQ(bus->eeRead(x, &buffer.data), NotSupported);

    EepromXSeries record = {};
    record.common.deviceType = DeviceXSeries;
    EXPECT_EQ(bus->eepromRead(x, &record, 55, texts[0], texts[1], texts[2], texts[3]), InvalidParameter);
    EXPECT_EQ(bus->eepromRead(r, &record, 56, texts[0], texts[1], texts[2], texts[3]), InvalidParameter);
    EXPECT_EQ(bus->eepromRead(x, &record, 56, texts[0], texts[1], texts[2], texts[3]), Ok);
    EXPECT_STREQ(texts[0], "FTDI");
    EXPECT_STREQ(texts[3], "X1");
    EXPECT_EQ(record.common.vendorId, 0x0403);
}

TEST_F(SimulatedBusCalls, PortCycleReenumeratesWithTheEepromIdentity)
{
    auto chip = addChip(Device232R, QStringLiteral("OLD"));
    chip->setEepromIdentity(QStringLiteral("NEW"), QStringLiteral("New name"));
    EXPECT_EQ(listedSerials(), QStringList{"OLD"});
    Handle handle = openChip(0);
    EXPECT_EQ(bus->cyclePort(handle), Ok);
    EXPECT_EQ(bus->purge(handle, 3), IoError); // only good for closing now
    EXPECT_EQ(bus->close(handle), Ok);
    EXPECT_EQ(listedSerials(), QStringList{"NEW"});
    EXPECT_EQ(chip->listedDescription(), "New name");
    EXPECT_EQ(peer(0).portCycledCount(), 1);
}

TEST_F(SimulatedBusCalls, ScriptedPeerAnswersQueuedRulesAndResponder)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    Handle handle = openChip(0);
    ScriptedPeer &script = peer(0);
    std::uint32_t written = 0;
    auto write = [&](const QByteArray &bytes) {
        EXPECT_EQ(bus->write(handle, bytes.constData(), static_cast<std::uint32_t>(bytes.size()), &written), Ok);
    };

    script.queueReply("first");
    script.addRule("AB", "rule");
    script.setResponder([](QByteArray &pending) -> QByteArray {
        const int end = pending.indexOf(';');
        if (end < 0)
            return {};
        const QByteArray command = pending.left(end);
        pending.remove(0, end + 1);
        return "<" + command + ">";
    });

    write("AB");          // the queued reply takes precedence and consumes it
    write("A");           // split request: waits for the rest
    write("Bx;y");        // rule on "AB", responder on "x;", "y" stays pending
    write(";");
    EXPECT_EQ(readBytes(handle, 17), "firstrule<x><y>");
    EXPECT_TRUE(script.pending().isEmpty());
    EXPECT_EQ(script.writes(), (QList<QByteArray>{"AB", "A", "Bx;y", ";"}));
    EXPECT_EQ(script.written(), "ABABx;y;");
    EXPECT_EQ(chip->hostWritten(), "ABABx;y;");
}

// The receive queue hands out bytes in order however sends and reads of
// different sizes interleave, and a purge or a full read leaves it empty.
TEST_F(SimulatedBusCalls, ReceiveQueueKeepsOrderAcrossPartialReads)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    Handle handle = openChip(0);
    ASSERT_EQ(bus->setTimeouts(handle, 1, 1000), Ok);

    QByteArray sent, received;
    int next = 0;
    for (int round = 0; round < 200; ++round) {
        QByteArray chunk;
        for (int i = 0; i < (round * 7) % 23 + 1; ++i)
            chunk.append(static_cast<char>(next++));
        chip->sendToHost(chunk);
        sent += chunk;
        received += readBytes(handle, static_cast<std::uint32_t>((round * 5) % 17));
        EXPECT_EQ(chip->receiveQueueSize(), sent.size() - received.size());
    }
    received += readBytes(handle, static_cast<std::uint32_t>(sent.size() - received.size()));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(chip->receiveQueueSize(), 0);

    chip->sendToHost("abcdef");
    EXPECT_EQ(readBytes(handle, 2), "ab");
    ASSERT_EQ(bus->purge(handle, PurgeRx), Ok);
    std::uint32_t queued = 99;
    EXPECT_EQ(bus->getQueueStatus(handle, &queued), Ok);
    EXPECT_EQ(queued, 0u);
    chip->sendToHost("gh");
    EXPECT_EQ(readBytes(handle, 2), "gh");
}

// The log keeps the latest calls in order, each with its arguments.
TEST_F(SimulatedBusCalls, CallLogKeepsTheLatestCalls)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    Handle handle = openChip(0);
    ASSERT_EQ(bus->setTimeouts(handle, 7, 8), Ok);
    EXPECT_EQ(chip->callTexts(), (QStringList{"open", "setTimeouts 7 8"}));

    const int total = SimulatedFtdiChip::MaxLoggedCalls + 10;
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(bus->setLatencyTimer(handle, static_cast<std::uint8_t>(i)), Ok);
    const QList<SimulatedFtdiChip::Call> calls = chip->calls();
    ASSERT_EQ(calls.size(), static_cast<int>(SimulatedFtdiChip::MaxLoggedCalls));
    EXPECT_EQ(calls.first().text, QStringLiteral("setLatencyTimer %1").arg(10 % 256));
    EXPECT_EQ(calls.last().text, QStringLiteral("setLatencyTimer %1").arg((total - 1) % 256));
    for (int i = 1; i < calls.size(); ++i)
        ASSERT_LE(calls[i - 1].atNs, calls[i].atNs) << i;

    chip->clearCalls();
    EXPECT_EQ(bus->purge(handle, 3), Ok);
    EXPECT_EQ(chip->callTexts(), QStringList{"purge 3"});
}

// The test hooks: a read failure strikes once and takes nothing; the queue
// hook runs before the answer is counted, without the chip's lock held.
TEST_F(SimulatedBusCalls, TestHooksFailOneReadAndRunOnEachQueueQuery)
{
    auto chip = addChip(Device232R, QStringLiteral("A1"));
    Handle handle = openChip(0);
    chip->sendToHost("abc");
    chip->failNextRead(IoError);
    EXPECT_EQ(readBytes(handle, 2, IoError), "");
    EXPECT_EQ(chip->receiveQueueSize(), 3);
    EXPECT_EQ(readBytes(handle, 2), "ab");
    chip->failNextRead(InsufficientResources);
    EXPECT_EQ(readBytes(handle, 0, InsufficientResources), "");
    EXPECT_EQ(readBytes(handle, 1), "c");

    int queries = 0;
    chip->setQueueStatusHook([&](SimulatedLink &link) {
        // Calls back into the chip: this would deadlock under its lock.
        if (++queries == 1 && chip->receiveQueueSize() == 0)
            link.sendToHost("xy");
    });
    std::uint32_t queued = 0;
    EXPECT_EQ(bus->getQueueStatus(handle, &queued), Ok);
    EXPECT_EQ(queued, 2u);
    std::thread other([&] { EXPECT_EQ(bus->getQueueStatus(handle, &queued), Ok); });
    other.join();
    EXPECT_EQ(queries, 2);

    chip->setQueueStatusHook({});
    EXPECT_EQ(bus->getQueueStatus(handle, &queued), Ok);
    EXPECT_EQ(queries, 2);
}

// A paced chip passes bytes on as a bridge chip does: over the UART at the
// configured baud rate, in USB packets that leave when full or when the
// latency timer ticks.
TEST_F(SimulatedBusCalls, PacedChipsDeliverByWireTimePacketsAndLatencyTimer)
{
    auto fifo = addChip(Device232H, QStringLiteral("H1"));
    auto uart = addChip(Device232R, QStringLiteral("R1"));
    fifo->setPaced(true);
    uart->setPaced(true);

    // FT232H: no wire time; 510 data bytes fill a USB packet, which leaves at
    // once; the rest waits for the latency timer (16 ms after power-on).
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    Handle h = openChip(0);
    ASSERT_EQ(bus->setTimeouts(h, 1000, 1000), Ok);
    fifo->sendToHostProducedAt(-1, QByteArray(600, 'x'));
    std::uint32_t queued = 0;
    ASSERT_EQ(bus->getQueueStatus(h, &queued), Ok);
    if (sinceOpen.elapsed() < 14) {
        EXPECT_EQ(queued, 510u);
    }
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(readBytes(h, 600).size(), 600);
    EXPECT_LT(timer.elapsed(), 1000); // woken by the timer tick, not the time-out

    // Bytes produced long ago have long reached the host.
    fifo->sendToHostProducedAt(SimulatedClock::nowNs() - 50 * SimulatedClock::NsPerMs, "old");
    ASSERT_EQ(bus->getQueueStatus(h, &queued), Ok);
    EXPECT_EQ(queued, 3u);
    readBytes(h, 3);

    // FT232R at 500000 baud, 8 data bits, even parity: 11 bit times a byte,
    // so a full packet of 62 bytes needs 1.364 ms on the wire.
    Handle r = openChip(1);
    ASSERT_EQ(bus->setBaudRate(r, 500000), Ok);
    ASSERT_EQ(bus->setDataCharacteristics(r, Bits8, StopBits1, ParityEven), Ok);
    ASSERT_EQ(bus->setLatencyTimer(r, 2), Ok);
    ASSERT_EQ(bus->setTimeouts(r, 1000, 1000), Ok);
    timer.restart();
    uart->sendToHostProducedAt(-1, QByteArray(62, 'y'));
    EXPECT_EQ(readBytes(r, 62).size(), 62);
    EXPECT_GE(timer.nsecsElapsed(), 1300000);
    EXPECT_LT(timer.elapsed(), 1000);

    // Purging drops what is still inside the chip.
    uart->sendToHostProducedAt(-1, QByteArray(40, 'z'));
    ASSERT_EQ(bus->purge(r, PurgeRx | PurgeTx), Ok);
    ASSERT_EQ(bus->setTimeouts(r, 30, 1000), Ok);
    EXPECT_EQ(readBytes(r, 1), "");
}
