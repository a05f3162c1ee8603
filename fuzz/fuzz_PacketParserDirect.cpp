// Arbitrary bytes from the instrument straight into the packet parser: a
// protocol over an in-memory device, no bus, no chip, no thread. The bytes
// arrive in chunks of a size the input chooses and go through either dispatch
// path (direct handler or Qt stream receivers), or answer a synchronous
// request. Nothing may crash, read unannounced bytes, or hand out more data
// than arrived; a successful request gets exactly the reply size it expects.
//
// Input: byte 0 controls the run (bits 0-3: chunk size - 1, 15 = all at once;
// bit 4: no direct handler; bit 5: a synchronous request first; bit 6: the
// handler takes the packet data over), byte 1 is the reply size the request
// expects, the rest is what the instrument sends.
#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "MemoryUSBDevice.h"
#include "USBICommRequest.h"
#include "USBPacketProtocol.h"
#include "USBPacketStreamEvent.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr int RequestId = 101;
constexpr int HandledId = 7; // an id besides the stream's that the handler takes

class SinkHandler : public USBPacketProtocol::IDirectPacketHandler
{
public:
    void requestFinished(const RequestEntry &, USBResult) override { std::abort(); }
    void packetError(USBResult, QPointer<QObject> &) override { std::abort(); }
    void packetReceived(int id, QByteArray &data) override
    {
        check(id == 0 || id == HandledId);
        check(data.size() <= 0xFFFF);
        total += data.size();
        if (takeOver) {
            QByteArray taken;
            taken.swap(data);
        }
    }
    bool acceptsPacket(int id) override { return id == 0 || id == HandledId; }

    bool takeOver = false;
    long total = 0;
};

class StreamReceiver : public QObject
{
public:
    bool event(QEvent *event) override
    {
        check(event->type() == USBPacketStreamEvent::EventType);
        const auto *packet = static_cast<USBPacketStreamEvent *>(event);
        check(packet->id() == 0 || packet->id() == HandledId);
        check(packet->result().isSuccess() && packet->data().size() <= 0xFFFF);
        total += packet->data().size();
        return true;
    }

    long total = 0;
};

// A framed request with a fixed id, so that the input can answer it.
class FuzzRequest : public USBICommRequest
{
public:
    explicit FuzzRequest(int replySize) : m_replySize(replySize) {}
    bool isRawRequest() const override { return false; }
    quint8 command() const override { return 0x41; }
    QByteArray payload() const override { return QByteArray("\xAA\xBB", 2); }
    void setReceivedData(const QByteArray &bytes) override { m_received = bytes; }
    QByteArray receivedData() const override { return m_received; }
    USBResult resultForStatus(quint8 status) const override
    {
        return status == 0 ? USBResult() : USBResult(QStringLiteral("Refused"), 2);
    }
    int expectedReplySize() const override { return m_replySize; }
    int id() const override { return RequestId; }

private:
    int m_replySize;
    QByteArray m_received;
};

// The length of the longest prefix that ends at a packet boundary, or the
// whole when a byte that cannot start a packet comes first (the parser fails
// there, so it never waits for more).
int completePrefix(const QByteArray &bytes)
{
    int pos = 0;
    while (pos < bytes.size()) {
        const quint8 type = quint8(bytes.at(pos));
        int length;
        if (type == 0x05) {
            if (bytes.size() - pos < 8)
                return pos;
            length = 8 + (quint8(bytes.at(pos + 6)) | quint8(bytes.at(pos + 7)) << 8);
        } else if (type == 0x07) {
            if (bytes.size() - pos < 2)
                return pos;
            length = 2 + quint8(bytes.at(pos + 1));
        } else {
            return bytes.size();
        }
        if (bytes.size() - pos < length)
            return pos;
        pos += length;
    }
    return pos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 1 << 20)
        return 0;
    const uint8_t control = data[0];
    const int chunk = (control & 0x0F) == 0x0F ? 0 : (control & 0x0F) + 1;
    const bool withHandler = !(control & 0x10);
    const bool withRequest = control & 0x20;
    QByteArray input(reinterpret_cast<const char *>(data + 2), int(size - 2));

    auto device = std::make_shared<MemoryUSBDevice>();
    SinkHandler handler;
    handler.takeOver = control & 0x40;
    static StreamReceiver receiver;
    receiver.total = 0;
    // One protocol for every input: a detach (at the end of each input) empties
    // its receive state, and constructing a thread object per input would cost
    // more than parsing.
    static USBPacketProtocol &protocol = *new USBPacketProtocol;
    if (withHandler) {
        protocol.setDirectPacketHandler(&handler);
        protocol.removeStreamReceiver(0);
        protocol.removeStreamReceiver(HandledId);
    } else {
        protocol.setDirectPacketHandler(nullptr);
        protocol.setStreamReceiver(0, &receiver);
        protocol.setStreamReceiver(HandledId, &receiver);
    }
    device->open(0);
    protocol.setDevice(device);

    if (withRequest) {
        // All at once and ending at a packet boundary: a request then ends
        // either with its reply or with a quiet line, never in a wait.
        input.truncate(completePrefix(input));
        device->line().endsWhenDrained = true;
        device->queue(input, 0);
        auto request = std::make_shared<FuzzRequest>(data[1]);
        const USBResult result = protocol.sendRequest(request);
        check(device->line().written == QByteArray::fromHex("0565000000410200AABB"));
        if (result.isSuccess())
            check(request->receivedData().size() == data[1]);
        check(protocol.pendingRequestCount() == 0 && protocol.storedReplyCount() == 0);
    } else {
        device->queue(input, chunk);
    }

    // Parse until the line is quiet; a corrupt stream costs the packet in
    // progress and parsing goes on with the next byte. Random bytes are mostly
    // corrupt, and each failure is an exception, which costs more than parsing
    // a packet: after a few failures the rest of the input adds only time.
    int failures = 0;
    for (int pass = 0; pass < 2 * input.size() + 4 && !device->line().quiet && failures < 2; ++pass) {
        try {
            protocol.parsePackets();
        } catch (const USBResult &) {
            ++failures;
            check(!protocol.hasPacketInProgress() && protocol.pendingRequestCount() == 0
                  && protocol.storedReplyCount() == 0);
        }
    }
    check(device->line().quiet || failures == 2);
    // Every posted event (only the receiver gets any); this also compacts
    // the thread's event list, which a per-receiver dispatch leaves growing.
    QCoreApplication::sendPostedEvents(nullptr, 0);
    check(handler.total + receiver.total <= input.size());

    protocol.setDevice({});
    check(!protocol.hasPacketInProgress() && protocol.pendingRequestCount() == 0
          && protocol.storedReplyCount() == 0);
    protocol.setDirectPacketHandler(nullptr);
    return 0;
}
