// Any text handed to useSimulatedBus: parse it and build every instrument.
#include <QString>

#include <cstddef>
#include <cstdint>

#include "SimulatedBusDescription.h"
#include "SimulatedInstrument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const SimulatedBusDescription bus = SimulatedBusDescription::parse(text);
    if (bus.isValid() == !bus.errorText().isEmpty())
        __builtin_trap();
    for (const SimulatedDeviceRecord &record : bus.devices()) {
        if (record.isInstrument() != bool(SimulatedBusDescription::createInstrument(record)))
            __builtin_trap();
    }
    return 0;
}
