// Requests carried synchronously and through the protocol thread, with a
// scripted instrument answering on the other side of the bridge.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ProtocolDoubles.h"
#include "ProtocolHarness.h"
#include "USBDevice.h"
#include "USBDriver.h"
#include "USBPacketProtocol.h"

namespace {

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

std::shared_ptr<ScriptedRequest> makeRequest(quint8 command = 0x10, int replySize = 2,
                                             const QByteArray &payload = {})
{
    return std::make_shared<ScriptedRequest>(command, payload, replySize);
}

// Answers every framed request with status 0 and `replySize` bytes, except
// the ids in `silent`.
ProtocolHarness::Responder answerAll(int replySize, std::shared_ptr<QSet<quint32>> silent = {})
{
    return [=](const QByteArray &written, SimulatedLink &link) {
        if (written.size() < 8 || written.at(0) != 0x05)
            return;
        const quint32 id = requestIdOf(written);
        if (!silent || !silent->contains(id))
            link.sendToHost(longPacket(id, 0, patternBytes(replySize, int(id))));
    };
}

} // namespace

class PacketProtocol : public ::testing::Test
{
protected:
    void SetUp() override
    {
        protocol->setDirectPacketHandler(&handler);
        protocol->setDevice(bridge.openedDevice());
    }
    void TearDown() override
    {
        protocol->setDevice({});
        EXPECT_FALSE(protocol->isRunning());
    }

    ProtocolHarness bridge;
    RecordingHandler handler;
    std::shared_ptr<USBPacketProtocol> protocol = std::make_shared<USBPacketProtocol>();
};

// The frame on the wire, the reply collected by id, and a stream packet in the
// same burst dispatched while the request waits.
TEST_F(PacketProtocol, SendRequestFramesAndCollectsTheReply)
{
    const auto request = makeRequest(0x41, 3, bytesOf({0xAA, 0xBB}));
    const quint32 id = quint32(request->id());
    bridge.setResponder([&](const QByteArray &written, SimulatedLink &link) {
        link.sendToHost(shortPacket(bytesOf({0x55})) + longPacket(id + 1, 0, bytesOf({9}))
                        + longPacket(requestIdOf(written), 0, bytesOf({1, 2, 3})));
    });

    EXPECT_TRUE(protocol->sendRequest(request).isSuccess());
    ASSERT_EQ(bridge.writes().size(), 1);
    EXPECT_EQ(bridge.writes()[0], bytesOf({0x05, int(id & 0xFF), int((id >> 8) & 0xFF),
                                           int((id >> 16) & 0xFF), int(id >> 24), 0x41, 0x02,
                                           0x00, 0xAA, 0xBB}));
    EXPECT_EQ(request->receivedData(), bytesOf({1, 2, 3}));
    ASSERT_EQ(handler.packets().size(), 1);
    EXPECT_EQ(handler.packets()[0].data, bytesOf({0x55}));
    EXPECT_EQ(protocol->pendingRequestCount(), 0);
    EXPECT_EQ(protocol->storedReplyCount(), 0);
}

TEST_F(PacketProtocol, RepliesAreCheckedBeforeTheyAreTaken)
{
    struct Case { quint8 status; int size; const char *message; };
    const Case cases[] = {
        {0, 4, nullptr},
        {0, 2, "Unexpected packet length."},
        {0, 5, "Unexpected packet length."},
        {3, 4, "Rejected 3"},
    };
    for (const Case &c : cases) {
        const auto request = makeRequest(0x20, 4);
        bridge.setResponder([&](const QByteArray &written, SimulatedLink &link) {
            link.sendToHost(longPacket(requestIdOf(written), c.status, patternBytes(c.size, 1)));
        });
        const USBResult result = protocol->sendRequest(request);
        if (!c.message) {
            EXPECT_TRUE(result.isSuccess());
            EXPECT_EQ(request->receivedData(), patternBytes(4, 1));
            continue;
        }
        EXPECT_EQ(result.code, 2) << c.message;
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(request->receivedDataCalls(), 0) << c.message;
        EXPECT_TRUE(request->receivedData().isEmpty());
    }
}

// Raw requests go out unframed and expect nothing; refused requests write
// nothing.
TEST_F(PacketProtocol, RawAndRefusedRequests)
{
    const auto raw = std::make_shared<ScriptedRequest>(0x55, bytesOf({1, 2}), 0, true);
    const auto bare = std::make_shared<ScriptedRequest>(0x56, QByteArray(), 0, true);
    EXPECT_TRUE(protocol->sendRequest(raw).isSuccess());
    EXPECT_TRUE(protocol->sendRequest(bare).isSuccess());
    EXPECT_EQ(bridge.writes(), (QList<QByteArray>{bytesOf({0x55}), bytesOf({1, 2}), bytesOf({0x56})}));
    EXPECT_EQ(protocol->pendingRequestCount(), 0);

    const auto oversized = std::make_shared<ScriptedRequest>(0x57, QByteArray(65536, 'x'), 0);
    EXPECT_EQ(protocol->sendRequest(oversized).message, "Request payload too large.");

    protocol->setDevice({});
    const USBResult detached = protocol->sendRequest(makeRequest());
    EXPECT_EQ(detached.code, 2);
    EXPECT_EQ(detached.message, "Invalid communication handle.");
    EXPECT_EQ(bridge.writes().size(), 3);
}

// The one slow test: a request nobody answers times out after 4000 ms, its
// reply arriving later is dropped and the next request gets its own reply.
TEST_F(PacketProtocol, TimedOutRequestDropsItsLateReply)
{
    const auto lost = makeRequest(0x30, 2);
    QElapsedTimer timer;
    timer.start();
    const USBResult result = protocol->sendRequest(lost);
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.message, "Communication timed out");
    EXPECT_GE(timer.elapsed(), 4000);
    EXPECT_LT(timer.elapsed(), 6000);
    EXPECT_EQ(protocol->pendingRequestCount(), 0);

    const auto next = makeRequest(0x31, 2);
    bridge.setResponder([&](const QByteArray &written, SimulatedLink &link) {
        link.sendToHost(longPacket(quint32(lost->id()), 0, bytesOf({7, 7}))
                        + longPacket(requestIdOf(written), 0, bytesOf({8, 8})));
    });
    EXPECT_TRUE(protocol->sendRequest(next).isSuccess());
    EXPECT_EQ(next->receivedData(), bytesOf({8, 8}));
    EXPECT_EQ(lost->receivedDataCalls(), 0);
    EXPECT_EQ(protocol->storedReplyCount(), 0);
}

// A reply that is parsed in the very poll that crosses the time-out is taken,
// not reported as a time-out and left behind.
TEST_F(PacketProtocol, ReplyInTheLastPollIsTaken)
{
    const auto request = makeRequest(0x32, 1);
    std::atomic<bool> answered{false};
    QElapsedTimer sinceWrite;
    bridge.setResponder([&](const QByteArray &, SimulatedLink &) { sinceWrite.start(); });
    bridge.setPollHook([&](SimulatedLink &link) {
        if (answered.exchange(true))
            return;
        QThread::msleep(quint32(qMax<qint64>(0, 4100 - sinceWrite.elapsed())));
        link.sendToHost(longPacket(quint32(request->id()), 0, bytesOf({4})));
    });
    EXPECT_TRUE(protocol->sendRequest(request).isSuccess());
    EXPECT_EQ(request->receivedData(), bytesOf({4}));
    EXPECT_EQ(protocol->storedReplyCount(), 0);
}

// Posted requests run one at a time in posting order, each reported before the
// next is written.
TEST_F(PacketProtocol, PostedRequestsRunInOrder)
{
    std::mutex mutex;
    QList<QPair<quint32, int>> writesSeen; // (id, requests finished at that moment)
    bridge.setResponder([&](const QByteArray &written, SimulatedLink &link) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            writesSeen.append({requestIdOf(written), handler.finished().size()});
        }
        answerAll(2)(written, link);
    });
    QList<std::shared_ptr<ScriptedRequest>> requests;
    for (int i = 0; i < 3; ++i) {
        requests.append(makeRequest(quint8(0x40 + i), 2));
        protocol->postRequest(requests.last(), nullptr);
    }
    ASSERT_TRUE(handler.waitForFinished(3));
    EXPECT_TRUE(protocol->isRunning());
    // The last entry leaves the queue just after it has been reported.
    EXPECT_TRUE(eventually([&] { return protocol->isQueueEmpty(); }));

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(writesSeen.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(writesSeen[i].first, quint32(requests[i]->id()));
        EXPECT_EQ(writesSeen[i].second, i);
        EXPECT_EQ(handler.finished()[i].request, requests[i]);
        EXPECT_TRUE(handler.finished()[i].result.isSuccess());
    }
}

// Clearing the queue lets the running request finish and drops the others; a
// request posted after the clear still runs.
TEST_F(PacketProtocol, ClearRequestsDuringARequest)
{
    const auto first = makeRequest(0x50, 2);
    const auto silent = std::make_shared<QSet<quint32>>(QSet<quint32>{quint32(first->id())});
    bridge.setResponder(answerAll(2, silent));
    const auto dropped1 = makeRequest(0x51, 2), dropped2 = makeRequest(0x52, 2);
    protocol->postRequest(first, nullptr);
    protocol->postRequest(dropped1, nullptr);
    protocol->postRequest(dropped2, nullptr);
    ASSERT_TRUE(bridge.waitForWrites(1));

    protocol->clearRequests();
    const auto later = makeRequest(0x53, 2);
    protocol->postRequest(later, nullptr);
    bridge.sendToHost(longPacket(quint32(first->id()), 0, bytesOf({1, 1})));

    ASSERT_TRUE(handler.waitForFinished(2));
    // A queued request would be written at once; give it the chance.
    QThread::msleep(30);
    const QList<RecordingHandler::Finished> finished = handler.finished();
    ASSERT_EQ(finished.size(), 2);
    EXPECT_EQ(finished[0].request, first);
    EXPECT_TRUE(finished[0].result.isSuccess());
    EXPECT_EQ(finished[1].request, later);
    EXPECT_TRUE(finished[1].result.isSuccess());
    EXPECT_EQ(bridge.writes().size(), 2);
    EXPECT_TRUE(eventually([&] { return protocol->isQueueEmpty(); }));
}

// A posted request wakes the idle thread at once, and a reply is taken as soon
// as it arrives: neither waits for the poll interval.
TEST_F(PacketProtocol, PostedRequestsDoNotWaitForThePollInterval)
{
    bridge.setResponder(answerAll(2));
    protocol->setPollInterval(3000000); // 3 s between idle passes
    protocol->postRequest(makeRequest(0x20, 2), nullptr);
    ASSERT_TRUE(handler.waitForFinished(1));
    QThread::msleep(50); // the thread is asleep in its idle wait now

    QElapsedTimer timer;
    timer.start();
    protocol->postRequest(makeRequest(0x21, 2), nullptr);
    ASSERT_TRUE(handler.waitForFinished(2));
    EXPECT_LT(timer.elapsed(), 300);
    EXPECT_TRUE(handler.finished()[1].result.isSuccess());

    // Stream bytes that arrive while the thread sleeps reach the handler at once.
    timer.restart();
    bridge.sendToHost(shortPacket(bytesOf({5, 6})));
    ASSERT_TRUE(handler.waitForPackets(1));
    EXPECT_LT(timer.elapsed(), 300);
}

// The driver's close with a request in flight and more queued: the thread is
// gone before the device is closed, nothing queued runs, the receive state is
// empty, and the protocol works again after the next open.
TEST_F(PacketProtocol, DriverCloseWithAFullQueue)
{
    protocol->setDevice({});
    bridge.device()->close();
    USBDriver driver(protocol);
    ASSERT_TRUE(driver.open(bridge.device(), 500000).isSuccess());
    EXPECT_EQ(bridge.readTimeoutMs(), 50);

    const auto inFlight = makeRequest(0x60, 2);
    ASSERT_TRUE(driver.submit(inFlight, nullptr).isSuccess());
    for (int i = 0; i < 3; ++i)
        driver.submit(makeRequest(quint8(0x61 + i), 2), nullptr);
    ASSERT_TRUE(bridge.waitForWrites(1));
    bridge.sendToHost(longPacket(0, 0, patternBytes(40, 2)).left(20)); // a torn stream packet
    ASSERT_TRUE(eventually([&] { return bridge.unreadByteCount() == 0; }));
    QThread::msleep(20);

    QElapsedTimer timer;
    timer.start();
    driver.close();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_FALSE(protocol->isRunning());
    EXPECT_FALSE(protocol->waitForFinished());
    EXPECT_TRUE(protocol->isQueueEmpty());
    EXPECT_FALSE(protocol->hasPacketInProgress());
    EXPECT_EQ(protocol->pendingRequestCount(), 0);
    EXPECT_FALSE(bridge.device()->isOpen());
    EXPECT_EQ(bridge.writes().size(), 1);
    ASSERT_EQ(handler.finished().size(), 1);
    EXPECT_EQ(handler.finished()[0].result.message, "Invalid communication handle.");

    bridge.setResponder(answerAll(2));
    ASSERT_TRUE(driver.open(bridge.device(), 500000).isSuccess());
    bridge.sendToHost(shortPacket(bytesOf({3})));
    const auto again = makeRequest(0x70, 2);
    driver.submit(again, nullptr);
    ASSERT_TRUE(handler.waitForFinished(2));
    EXPECT_TRUE(handler.finished()[1].result.isSuccess());
    ASSERT_TRUE(handler.waitForPackets(1));
    EXPECT_EQ(handler.packets()[0].data, bytesOf({3}));
    driver.close();
    EXPECT_FALSE(protocol->isRunning());
}

// A detach waits for the protocol thread at most DetachWaitMs. A thread held
// up longer in a handler is left to finish on its own, and the device handed
// to closeWhenReleased stays open until that thread has let go of it.
TEST_F(PacketProtocol, DetachWaitIsBoundedAndTheDeviceClosesAfterTheThread)
{
    std::mutex gate;
    std::condition_variable released;
    bool release = false;
    handler.onPacket = [&](int, const QByteArray &) {
        std::unique_lock<std::mutex> lock(gate);
        released.wait_for(lock, std::chrono::seconds(5), [&] { return release; });
    };
    protocol->postRequest(std::make_shared<ScriptedRequest>(0x01, QByteArray(), 0, true), nullptr);
    bridge.sendToHost(shortPacket(bytesOf({1})));
    ASSERT_TRUE(handler.waitForPackets(1));

    QElapsedTimer timer;
    timer.start();
    protocol->setDevice({});
    EXPECT_GE(timer.elapsed(), USBPacketProtocol::DetachWaitMs - 100);
    EXPECT_LT(timer.elapsed(), USBPacketProtocol::DetachWaitMs + 500);
    EXPECT_TRUE(protocol->isRunning());
    protocol->closeWhenReleased(bridge.device());
    EXPECT_TRUE(bridge.chipOpen());
    {
        std::lock_guard<std::mutex> lock(gate);
        release = true;
    }
    released.notify_all();
    EXPECT_TRUE(eventually([&] { return !bridge.chipOpen(); }));
    EXPECT_TRUE(protocol->waitForFinished() || !protocol->isRunning());
    EXPECT_TRUE(handler.errors().isEmpty());
}

// An instrument that never stops sending keeps the parser draining (here each
// packet is followed by the next before the parser looks again); a detach
// still ends the thread at once.
TEST_F(PacketProtocol, DetachEndsADrainThatNeverRunsDry)
{
    std::atomic<bool> feeding{true};
    handler.onPacket = [&](int, const QByteArray &) {
        if (!feeding)
            return;
        bridge.sendToHost(shortPacket(patternBytes(200, 1)));
        eventually([&] { return bridge.unreadByteCount() == 0; }, 1000);
    };
    protocol->postRequest(std::make_shared<ScriptedRequest>(0x01, QByteArray(), 0, true), nullptr);
    bridge.sendToHost(shortPacket(patternBytes(200, 1)));
    ASSERT_TRUE(handler.waitForPackets(20));
    QElapsedTimer timer;
    timer.start();
    protocol->setDevice({});
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_FALSE(protocol->isRunning());
    feeding = false;
    handler.onPacket = nullptr;
}

// A handler that closes the driver from the protocol thread: the thread
// cannot wait for itself, so the device is closed only after the thread has
// stopped using it, and nothing fails on a closed handle meanwhile.
TEST_F(PacketProtocol, ClosingFromTheProtocolThreadDefersTheDeviceClose)
{
    protocol->setDevice({});
    bridge.device()->close();
    auto driver = std::make_shared<USBDriver>(protocol);
    ASSERT_TRUE(driver->open(bridge.device(), 500000).isSuccess());
    bridge.setResponder(answerAll(2));
    std::atomic<bool> openWhileThreadRuns{false};
    handler.onFinished = [&](const RequestEntry &, const USBResult &) {
        driver->close();
        openWhileThreadRuns = bridge.chipOpen();
    };
    driver->submit(makeRequest(0x30, 2), nullptr);
    ASSERT_TRUE(handler.waitForFinished(1));
    EXPECT_TRUE(eventually([&] { return !bridge.chipOpen(); }));
    EXPECT_TRUE(openWhileThreadRuns);
    QThread::msleep(30);
    EXPECT_TRUE(handler.errors().isEmpty());
    handler.onFinished = nullptr;
    EXPECT_FALSE(driver->isOpen());
}

// Failures of the thread's own poll go to packetError; a corrupt stream costs
// the packet and the thread carries on, a failing vendor call ends it (the
// device went away). Handlers may queue requests from the protocol thread.
TEST_F(PacketProtocol, ThreadReportsPollErrorsAndServesHandlerRequests)
{
    bridge.setResponder(answerAll(2));
    std::shared_ptr<ScriptedRequest> followUp;
    handler.onPacket = [&](int, const QByteArray &data) {
        if (data == bytesOf({0xF0})) {
            followUp = makeRequest(0x81, 2);
            protocol->postRequest(followUp, nullptr);
        }
    };
    protocol->postRequest(makeRequest(0x80, 2), nullptr);
    ASSERT_TRUE(handler.waitForFinished(1));

    // A corrupt byte costs the packet; the thread goes on polling.
    bridge.sendToHost(bytesOf({0x06}));
    ASSERT_TRUE(handler.waitForErrors(1));
    EXPECT_EQ(handler.errors()[0].message, "Communication stream is corrupted.");
    bridge.sendToHost(shortPacket(bytesOf({0xF0})));
    ASSERT_TRUE(handler.waitForFinished(2));
    EXPECT_EQ(handler.finished()[1].request, followUp);
    EXPECT_TRUE(handler.finished()[1].result.isSuccess());

    // A failing vendor read means the device went away: reported once, then
    // the thread stops polling and takes no more requests.
    bridge.failNextRead(4);
    bridge.sendToHost(shortPacket(bytesOf({1})));
    ASSERT_TRUE(handler.waitForErrors(2));
    EXPECT_EQ(handler.errors()[1].message, "Communication error");
    EXPECT_TRUE(eventually([&] { return !protocol->isRunning(); }, 2000));
    protocol->postRequest(makeRequest(0x82, 2), nullptr);
    EXPECT_TRUE(protocol->isQueueEmpty());
    EXPECT_FALSE(protocol->isRunning());
    QThread::msleep(30);
    EXPECT_EQ(handler.errors().size(), 2);
    EXPECT_EQ(handler.finished().size(), 2);
}

// Without a direct handler, outcomes, stream packets and poll errors are
// events for their receivers; a request posted without receiver is reported
// nowhere.
TEST(PacketProtocolEvents, ResultsReachReceiversAsEvents)
{
    ensureCoreApplication();
    ProtocolHarness bridge;
    bridge.setResponder(answerAll(2));
    EventRecorder recorder;
    USBPacketProtocol protocol;
    protocol.setDevice(bridge.openedDevice());
    protocol.setStreamReceiver(0, &recorder);
    protocol.setErrorReceiver(&recorder);

    const auto reported = makeRequest(0x90, 2);
    protocol.postRequest(makeRequest(0x91, 2), nullptr);
    protocol.postRequest(reported, &recorder);
    ASSERT_TRUE(bridge.waitForWrites(2));
    bridge.sendToHost(shortPacket(bytesOf({5, 6})));
    ASSERT_TRUE(recorder.pumpUntil(
        [&] { return recorder.count(1001) == 1 && recorder.count(1002) == 1; }));
    bridge.sendToHost(bytesOf({0x01}));
    ASSERT_TRUE(recorder.pumpUntil([&] { return recorder.count(1003) == 1; }));
    protocol.setDevice({});
    QCoreApplication::sendPostedEvents(&recorder);

    EXPECT_EQ(recorder.count(1002), 1);
    for (const EventRecorder::Record &r : recorder.records) {
        if (r.type == 1002) {
            EXPECT_EQ(r.request, reported);
            EXPECT_TRUE(r.result.isSuccess());
        } else if (r.type == 1001) {
            EXPECT_EQ(r.data, bytesOf({5, 6}));
        } else {
            EXPECT_EQ(r.id, 0);
            EXPECT_EQ(r.result.message, "Communication stream is corrupted.");
        }
    }
}

TEST(PacketProtocolLifetime, DestroyingARunningProtocolEndsItsThread)
{
    ProtocolHarness bridge;
    auto protocol = std::make_unique<USBPacketProtocol>();
    protocol->setDevice(bridge.openedDevice());
    protocol->setPollInterval(1000);
    protocol->postRequest(std::make_shared<ScriptedRequest>(0x01, QByteArray(), 0, true), nullptr);
    // The receiver waits in reads of the chip, one after another.
    ASSERT_TRUE(eventually([&] { return bridge.readCount() >= 3; }));
    protocol.reset();
    const int reads = bridge.readCount();
    QThread::msleep(120);
    EXPECT_EQ(bridge.readCount(), reads);
}

// The chip fails with a fragment of a packet buffered behind two whole ones:
// the whole packets are delivered first (the second one is the reply to the
// request in flight, or a stream packet), then the failure is reported once,
// a request still waiting ends with it, and the thread ends, whatever the
// fragment's length (nothing, part of a header, a header and part of the
// data). The thread is held in the first packet's handler until the chip has
// failed, so the receiver has met the failure before the parser reads on.
TEST(PacketProtocolLoss, AFailureBehindAnyFragmentIsReportedAfterTheWholePackets)
{
    const QByteArray streamed = longPacket(0, 0, patternBytes(6, 7)); // 14 bytes
    struct Case
    {
        int fragment;
        bool replyAhead;
    };
    QVector<Case> cases;
    for (int n = 0; n < streamed.size(); ++n)
        cases.append({n, false});
    cases.append({3, true});
    cases.append({11, true});

    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "fragment " << c.fragment << (c.replyAhead ? ", reply" : ""));
        ProtocolHarness bridge;
        RecordingHandler handler;
        USBPacketProtocol protocol;
        protocol.setDirectPacketHandler(&handler);
        protocol.setDevice(bridge.openedDevice());

        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        handler.onPacket = [&](int, const QByteArray &data) {
            if (data != bytesOf({0xA1}))
                return;
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return released; });
        };
        const auto request = makeRequest(0x10, 2);
        protocol.postRequest(request, nullptr);
        ASSERT_TRUE(bridge.waitForWrites(1));
        const QByteArray second = c.replyAhead ? longPacket(quint32(request->id()), 0, bytesOf({4, 5}))
                                               : shortPacket(bytesOf({0xB2}));
        bridge.sendToHost(shortPacket(bytesOf({0xA1})) + second + streamed.left(c.fragment));
        // Once the receiver has taken every byte, its next read fails.
        ASSERT_TRUE(eventually([&] { return bridge.unreadByteCount() == 0; }, 2000));
        bridge.failNextRead(4);
        ASSERT_TRUE(eventually([&] { return bridge.openedDevice()->isLost(); }, 2000));
        QThread::msleep(5);
        QElapsedTimer sinceRelease;
        sinceRelease.start();
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        changed.notify_all();

        ASSERT_TRUE(handler.waitForErrors(1, 2000));
        EXPECT_LT(sinceRelease.elapsed(), 500);
        EXPECT_EQ(handler.errors()[0].message, "Communication error");
        ASSERT_TRUE(handler.waitForFinished(1, 2000));
        EXPECT_EQ(handler.finished()[0].result.isSuccess(), c.replyAhead);
        EXPECT_EQ(c.replyAhead ? request->receivedData() : handler.finished()[0].result.message.toLatin1(),
                  c.replyAhead ? bytesOf({4, 5}) : QByteArray("Communication error"));
        const QList<RecordingHandler::Packet> packets = handler.packets();
        ASSERT_EQ(packets.size(), c.replyAhead ? 1 : 2);
        EXPECT_EQ(packets.last().data, c.replyAhead ? bytesOf({0xA1}) : bytesOf({0xB2}));
        EXPECT_TRUE(eventually([&] { return !protocol.isRunning(); }, 1000));
        EXPECT_EQ(handler.errors().size(), 1);
    }
}

// A handler that holds the protocol thread past the detach's bounded wait:
// the detach returns without it, and waitUntilReleased returns only once the
// handler has returned and the thread has let go.
TEST(PacketProtocolLifetime, WaitUntilReleasedOutlastsAHeldHandler)
{
    ProtocolHarness bridge;
    RecordingHandler handler;
    USBPacketProtocol protocol;
    protocol.setDirectPacketHandler(&handler);
    protocol.setDevice(bridge.openedDevice());
    std::atomic<bool> entered{false};
    std::atomic<bool> returned{false};
    handler.onPacket = [&](int, const QByteArray &) {
        entered = true;
        QThread::msleep(USBPacketProtocol::DetachWaitMs + 300);
        returned = true;
    };
    protocol.postRequest(std::make_shared<ScriptedRequest>(0x01, QByteArray(), 0, true), nullptr);
    bridge.sendToHost(shortPacket(bytesOf({7})));
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    protocol.setDevice({});
    EXPECT_FALSE(returned);
    protocol.waitUntilReleased();
    EXPECT_TRUE(returned);
}
