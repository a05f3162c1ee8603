// Calibration images come from the instrument: decode arbitrary 100- and
// 150-byte images and run every lookup over them.
#include "Veldrin_II_DriverUserData.h"
#include "Veldrin_I_DriverUserData.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

QByteArray image(const uint8_t *data, size_t size, int length, char marker)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(std::min<size_t>(size, length)));
    bytes.append(QByteArray(length - bytes.size(), '\0'));
    // Mostly marked images, so the decoding itself is reached.
    if (!bytes.isEmpty() && (quint8(bytes[0]) & 0x80))
        bytes[0] = marker;
    return bytes;
}

void check(double value)
{
    if (!std::isfinite(value))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Veldrin_I_DriverUserData first =
        Veldrin_I_DriverUserData::fromDeviceData(image(data, size, 100, 0x43));
    const Veldrin_II_DriverUserData second =
        Veldrin_II_DriverUserData::fromDeviceData(image(data, size, 150, 0x6B));
    for (int channel = -1; channel <= 2; ++channel) {
        for (int range = -1; range <= 4; ++range) {
            for (int code = -1; code <= 17; ++code) {
                check(first.scaleFor(channel, range, code));
                check(first.offsetFor(channel, range, code));
                for (bool flag : {false, true}) {
                    check(second.scaleFor(channel, range, code, flag));
                    check(second.offsetFor(channel, range, code, flag));
                }
            }
        }
    }
    Veldrin_II_DriverUserData assigned;
    assigned.assign(second);
    if (assigned.scaleTable() != second.scaleTable())
        std::abort();
    return 0;
}
