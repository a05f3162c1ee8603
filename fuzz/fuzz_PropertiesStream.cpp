// Property-block streams come from files a host stored: read arbitrary bytes
// into blocks with and without a block version, under several stream versions.
#include "Veldrin_II_DriverDAC.h"
#include "Veldrin_I_DriverUserData.h"

#include <QByteArray>
#include <QDataStream>

#include <cstdint>
#include <cstdlib>

namespace {

template <typename Block>
void readInto(const QByteArray &bytes, int streamVersion, QDataStream::ByteOrder order)
{
    Block block;
    QDataStream in(bytes);
    in.setVersion(streamVersion);
    in.setByteOrder(order);
    try {
        block.readFrom(in);
    } catch (const StreamableVersionException &e) {
        if (e.version == 1)
            std::abort(); // version 1 is the one that reads
        return;
    }
    // Whatever was read must write back and read again to the same keys.
    QByteArray again;
    QDataStream out(&again, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out.setByteOrder(order);
    block.writeTo(out);
    Block copy;
    QDataStream in2(again);
    in2.setVersion(streamVersion);
    in2.setByteOrder(order);
    copy.readFrom(in2);
    if (in.status() == QDataStream::Ok && copy.keys() != block.keys())
        std::abort();
    (void)block.toPayload();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int versions[] = {QDataStream::Qt_4_0, QDataStream::Qt_4_6, QDataStream::Qt_5_0,
                                   QDataStream::Qt_5_6, QDataStream::Qt_5_15};
    const int version = versions[(data[0] & 0x7F) % 5];
    const QDataStream::ByteOrder order =
        (data[0] & 0x80) ? QDataStream::LittleEndian : QDataStream::BigEndian;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    readInto<Veldrin_II_DriverDAC>(bytes, version, order);
    Veldrin_I_DriverUserData userData;
    QDataStream in(bytes);
    in.setVersion(version);
    in.setByteOrder(order);
    try {
        userData.readFrom(in);
    } catch (const StreamableVersionException &) {
    }
    return 0;
}
