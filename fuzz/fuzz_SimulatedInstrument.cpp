// Any bytes a host might write to a virtual instrument of either generation,
// cut into writes at the positions the input chooses. Every reply must be a
// well-formed packet.
#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "SimulatedInstrumentI.h"
#include "SimulatedInstrumentII.h"

namespace {

class CheckingLink : public SimulatedLink
{
public:
    void sendToHost(const QByteArray &bytes) override
    {
        int pos = 0;
        while (pos < bytes.size()) {
            const quint8 type = quint8(bytes.at(pos));
            int header = 0;
            int length = 0;
            if (type == 0x05 && bytes.size() - pos >= 8) {
                header = 8;
                length = quint8(bytes.at(pos + 6)) | (quint8(bytes.at(pos + 7)) << 8);
            } else if (type == 0x07 && bytes.size() - pos >= 2) {
                header = 2;
                length = quint8(bytes.at(pos + 1));
            } else {
                __builtin_trap();
            }
            pos += header + length;
        }
        if (pos != bytes.size())
            __builtin_trap();
    }
};

void feed(SimulatedInstrument &instrument, const uint8_t *data, size_t size)
{
    CheckingLink link;
    // The first byte picks the write size, so that requests split anywhere.
    const int chunk = size ? 1 + data[0] % 16 : 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    instrument.hostWrote(QByteArray(1, char(0x03)), link);
    for (int pos = 1; pos < bytes.size(); pos += chunk)
        instrument.hostWrote(bytes.mid(pos, chunk), link);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SimulatedInstrumentI first;
    feed(first, data, size);
    SimulatedInstrumentII second;
    feed(second, data, size);
    return 0;
}
