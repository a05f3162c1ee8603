// Calibration images come from the instrument: decode arbitrary 100- and
// 150-byte images and run every lookup over them.
#include "Veldrin_II_DriverUserData.h"
#include "Veldrin_I_DriverUserData.h"

#include <QByteArray>

#include <algorithm>
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
    // The lookups come from the bytes after the larger image, four a lookup
    // (channel, range, period code, flag, each a little beyond its valid
    // values); without them a few fixed ones. Looking up a whole grid for
    // every image would spend the time on lookups the fuzzer cannot steer.
    static const uint8_t fixed[] = {1, 1, 1, 0, 2, 4, 17, 1, 0, 0, 6, 1, 3, 5, 0, 0};
    const uint8_t *lookups = size > 150 ? data + 150 : fixed;
    const size_t count = std::min<size_t>(size > 150 ? (size - 150) / 4 : sizeof(fixed) / 4, 64);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *at = lookups + 4 * i;
        const int channel = at[0] % 4 - 1;
        const int range = at[1] % 6 - 1;
        const int code = int(int8_t(at[2]));
        const bool flag = at[3] & 1;
        check(first.scaleFor(channel, range, code));
        check(first.offsetFor(channel, range, code));
        check(second.scaleFor(channel, range, code, flag));
        check(second.offsetFor(channel, range, code, flag));
    }
    Veldrin_II_DriverUserData assigned;
    assigned.assign(second);
    if (assigned.scaleTable() != second.scaleTable())
        std::abort();
    return 0;
}
